// The configuration of one instance of the service: what a cycle, "/PENDING" and "/VERIFICAR"
// work with, taken from the instance's "Morvant.ini" once, at their start, and passed down. Nothing
// below the service reads the INI file or looks for the instance's folder by itself.
//
// An instance is a folder (the executable's own, or the one "--pasta" names) holding its INI
// file, its service log, its cycle lock and the XML files in transit. A folder without an INI file
// has every default: the database "MORVANT.FDB" in that folder on "localhost", the service's
// built-in credentials, the platform's own hosts and a cycle an hour.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/ini_file.h"
#include "dispatch/connection_setup.h"
#include "platform_client/http_client.h"

namespace quirada {

// The optional section of "Morvant.ini" with the platform's endpoints and the cycle's period.
inline constexpr const char* kSecaoQuirada = "Quirada";

// The period between the end of a cycle and the start of the next, until the INI says otherwise.
inline constexpr uint32_t kIntervaloPadraoMs = 3'600'000;

struct TConfiguracao {
  std::string pasta;        // the instance's folder, ending with a separator
  // The folder as the cycle reaches its files (the XML files): the folder held open while it is
  // used (base/held_folder.h: HeldFolder::Reach("")), or `pasta` itself. Messages name `pasta`.
  std::string acesso;
  std::string arquivo_ini;  // pasta + "Morvant.ini"
  // The encoding the INI file was read in; nothing when there is no INI file.
  std::optional<IniEncoding> codificacao;
  // Every entry of the file, those the profile rules do not read included ("/VERIFICAR" warns of
  // them).
  std::vector<IniEntry> entradas;

  TBancoConfigurado banco;  // section "Morvant"
  std::string api_url;      // section "Quirada", default the platform's API host
  std::string auth_url;     // default the platform's authorization server
  HttpRoute rota;           // "CAFile" (default none) and "Proxy" (default none)
  // The period between the end of a cycle and the start of the next, in milliseconds: the key
  // "IntervaloSegundos", default 3600 seconds (also for a value that is no whole number from 1
  // to 4,000,000).
  uint32_t intervalo_ms = 0;
  // The folder of the instance's token file inside the user's private temporary folder: "" for
  // the private folder itself (the executable's own folder), else a name of its own
  // for every other instance folder: each instance keeps its own token, which carries its
  // company's integration key.
  std::string pasta_token;
};

// One key of "Morvant.ini", the one place that says what it is: its section and name, its default
// (for a key that is missing), where its value goes in the configuration, how "/VERIFICAR" shows
// the value in effect (a password masked) and, for some, what "/VERIFICAR" checks of it.
struct TChaveIni {
  const char* secao;
  const char* nome;
  std::string (*padrao)(const TConfiguracao& c);  // `c` holds the folder and the keys before it
  void (*guardar)(TConfiguracao& c, const std::string& valor);
  std::string (*mostrar)(const TConfiguracao& c);
  // What "/VERIFICAR" checks of the value in effect, on a line of its own: raises the cause when
  // the check fails; returns false when the value leaves nothing to check (no line then). None
  // for a key that is never checked so.
  bool (*verificar)(const TConfiguracao& c) = nullptr;
};

// Every key the service reads, in the order "/VERIFICAR" shows them.
const std::vector<TChaveIni>& ChavesIni();

// The configuration of the instance in `pasta` (ending with a separator) from what its INI file
// holds (`ini`, as ReadIniFile read pasta + "Morvant.ini"). `pasta_propria`: `pasta` is the
// executable's folder (the unnamed instance: its token file is the private folder's own).
TConfiguracao ConfiguracaoDaInstancia(const std::string& pasta, const IniFileContents& ini,
                                      bool pasta_propria);

}  // namespace quirada
