#include "service/last_cycle.h"

#include <cerrno>

#include "base/file_io.h"
#include "service/service_folder.h"

namespace quirada {
namespace {

// More than any line the cycle writes.
constexpr size_t kMaxBytes = 4096;

}  // namespace

std::string UltimoCicloDaPasta(const std::string& pasta) {
  if (pasta.empty()) return "não lido: a pasta da instância não é conhecida";
  const TPastaAberta aberta = AbrirPasta(pasta);
  if (aberta.nao_confiavel)
    return "não lido: a pasta não é confiável (QuiradaContabil /VERIFICARPASTA \"" + pasta +
           "\" diz por quê e como corrigir)";
  if (!aberta.pasta.IsOpen()) return "não lido: " + aberta.nao_alcancada;
  const std::string arquivo = aberta.Caminho(kArquivoUltimoCiclo);
  try {
    File file = File::OpenForReading(arquivo, Links::kRefuse);
    const FileInfo info = file.Info();
    if (!info.IsRegular()) return "ilegível: " + NotRegularFileMessage(arquivo, info.kind);
    std::string texto(kMaxBytes, '\0');
    texto.resize(file.ReadAt(0, texto.data(), texto.size()));
    return texto.substr(0, texto.find_first_of("\r\n"));
  } catch (const FileError& e) {
    if (e.error() == ENOENT) return "nenhum registrado";
    if (const auto there = GetFileInfo(arquivo, false); there && !there->IsRegular())
      return "ilegível: " + NotRegularFileMessage(arquivo, there->kind);
    return "ilegível: " + std::string(e.what());
  }
}

}  // namespace quirada
