// "/VERIFICAR": the configuration test an administrator runs before starting the service.
//
// It prints the INI file in effect (and the encoding it was read in) and every value in effect, as
// the table of keys shows it (configuration.h: the password masked), warns of
// sections and keys the service does not know or does not read (before any section, in a repeated
// section), of endpoints that are not https://host[:port] and of an INI holding a password that
// others may read (by its mode on Linux, by its DACL on Windows, with the chmod or icacls that
// mends it), and of a "Servidor" that writes its port after a colon; then it checks, each on a
// line of its own ending in "OK" or "FALHOU: <cause>": what a key of the INI has checked of its own
// (the proxy takes the service to the authorization server), the ERP database (naming the connection
// string used, with the real cause of a failure; then its character set and SQL dialect), the
// integration settings as every cycle judges them (erp_settings.h: a cycle's failure, or nothing
// ever to send, in the cycle's words), the pending query (prepared and opened, so dialect, grants
// and missing columns show), the register as a cycle proves it before its first upload, under the
// claim a cycle takes for each document (waited for as a cycle waits; writing no row; who holds it
// when it cannot be had), the platform's token (always a new one asked of the configured AuthUrl,
// cached in the token file when granted; a failure leaves the cached token as it was), and the
// activation the ERP's authorization key belongs to, followed by the "Contabilidade:" and
// "Cliente:" lines. When the private token folder is refused, the token and activation lines both
// fail with its message and nothing is asked of the platform. Every control character from the
// database or the network is shown as a blank. No document is sent and nothing is written to the
// service log or the register; the token file is the one file written. A statement the database
// refuses for want of a grant names the user, its role and the GRANT, as a cycle does.
#pragma once

#include <iosfwd>

#include "dispatch/configuration.h"
#include "dispatch/erp_queries.h"
#include "platform_client/Quirada.h"

namespace quirada {

// Over the service module's database components and platform client, for the instance's
// configuration. Returns whether every check passed (warnings fail nothing).
bool VerificarConfiguracao(ErpComponents& erp, TDTQuirada& cliente, const TConfiguracao& config,
                           std::ostream& out);

}  // namespace quirada
