// The service folder (the executable's) as the program trusts it before it writes there, and what
// the program tells about a file of that folder it cannot open.
//
// The rule is base/folder_trust.h's, over the folder, the folders above it and the files the
// program keeps in it: the executable, "Morvant.ini" and the log (each of the last two may be a
// link its owner made elsewhere, followed then), the lock "QuiradaContabil.lock", the last
// cycle's line "QuiradaContabil.ciclo" and the Firebird
// client "fbclient.dll" when it is there (Windows loads it from the folder). In a folder
// that is not trusted "/ONCE", a service tick and "/INSTALL" do nothing but say so, and
// "/VERIFICAR" says FALHOU.
//
// The folder is judged as it is reached, one entry of its path at a time (links included), and
// then held (AbrirPasta): every file of the instance is reached through the folder held, so that
// what was judged is what is used.
#pragma once

#include <optional>
#include <string>

#include "base/file_io.h"
#include "base/held_folder.h"

namespace quirada {

inline constexpr const char* kArquivoTrava = "QuiradaContabil.lock";
// One line: when the last cycle of the instance ended and how ("/INSTANCIAS" shows it).
inline constexpr const char* kArquivoUltimoCiclo = "QuiradaContabil.ciclo";

struct TPastaNaoConfiavel {
  // "Pasta do serviço não confiável: ..." with each path, who besides root and the program's user
  // may change it, and the chmod or chown that mends it.
  std::string mensagem;
  // The log itself (or what its link leads to) is among the paths: it is not to be written.
  bool log_em_causa = false;
};

// A service folder judged and held for one use (a cycle, a log line, a listing).
struct TPastaAberta {
  HeldFolder pasta;  // held when the folder could be reached
  std::optional<TPastaNaoConfiavel> nao_confiavel;  // nothing when it is trusted
  std::string nao_alcancada;  // when no folder is held: why ("... não existe")

  // The path through which the file `nome` of the folder is opened (HeldFolder::Reach); raises
  // Exception naming the folder when none is held.
  std::string Caminho(const std::string& nome) const;
};

// `dir` (ending with a separator) judged and held. Any folder may be judged this way (the
// installer's target folder, before anything is written there), the running executable's file
// name standing for the program's.
TPastaAberta AbrirPasta(const std::string& dir);

// AbrirPasta's judgement alone: nothing when `executable_dir` is trusted.
std::optional<TPastaNaoConfiavel> PastaNaoConfiavel(const std::string& executable_dir);

// The message of `e`, a failure to open the file at `path`; when the file belongs to another user
// (a "/ONCE" run as root left it behind), followed by whose it is and the chown that mends it.
std::string ComDonoDoArquivo(const FileError& e, const std::string& path);

}  // namespace quirada
