// "/VERIFICAR": the configuration test an administrator runs before starting the service.
//
// It prints the INI file in effect and every value in effect (the password masked), warns of
// sections and keys the service does not know, of endpoints that are not https://host[:port] and of
// an INI holding a password that group or others may read; then it checks, each on a line of its
// own ending in "OK" or "FALHOU: <cause>": the ERP database (naming the connection string used,
// with the real cause of a failure; then its character set and SQL dialect), the pending query
// (prepared and opened, so dialect, grants and missing columns show), the register as a cycle
// proves it before its first upload (writing no row), whether another cycle holds the database's
// claim (and which), the platform's token, and the activation the ERP's authorization key belongs
// to, followed by the "Contabilidade:" and "Cliente:" lines. Nothing is sent and nothing is written
// to the service log or the register.
#pragma once

#include <iosfwd>

#include "dispatch/dispatch_cycle.h"

namespace quirada {

// Returns whether every check passed (warnings fail nothing).
bool VerificarConfiguracao(TCicloEnvio& ciclo, std::ostream& out);

}  // namespace quirada
