// The dispatch cycle's decisions over its two seams, in memory: one table of what the platform
// answers, what the register does, when a stop arrives and what a document holds, against the rows
// recorded, the XML files left in the folder, the service log and the exit status. The real
// database, HTTPS server and executable are proved by the end-to-end tests.
#include "dispatch/dispatch_cycle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "dispatch/document_kinds.h"
#include "dispatch/xml_file.h"
#include "testing/fake_document_source.h"
#include "testing/fake_platform.h"
#include "testing/test_files.h"

namespace quirada {
namespace {

using testing::FakeDocumentSource;
using testing::FakePlatform;

// The first pending document's key; the second's is kChave2, always a plain document.
constexpr const char* kChave1 = "NFe35261211111111000111550010000000011000000011";
constexpr const char* kChave2 = "NFe35261211111111000111550010000000021000000022";
constexpr const char* kXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><NFe><xNome>AÇÚCAR & CAFÉ</xNome></NFe>";

enum class Envio {
  kS1,             // 201, "S1", batch "L<n>"
  kS2,             // 201, "S2"
  kOutroCodigo,    // 201, "X9": not recorded, no status query
  kSemCodigo,      // 200 without a batch: not recorded, no status query
  kRecusado,       // 422: the document's own fault, logged, the cycle goes on
  kNaoAutorizado,  // 401: the cycle's fault, the cycle ends
  kErroServidor,   // 500: the cycle ends
  kRede,           // the transfer failed: the cycle ends
  kIdInvalido,     // 201, "S1", batch ".."
  kIdLongo,        // 201, "S1", for the first document a batch id of 45 characters (the register holds 40)
};

enum class Estado { kAceito, kOutroAceito, kE0, kEA0, kEB0, kErroServidor };

enum class Texto { kXml, kVazio, kNulo, kComNul, kChaveSemDigitos };

enum class Fonte {
  kNormal,
  kSemConexao,
  kNadaAEnviar,
  kChaveInvalida,
  kOcupada,          // another cycle holds the first document's claim
  kJaRegistrada,     // another cycle recorded the first document after the walk began
  kFalhaNoRegistro,  // the first document's row cannot be written
};

enum class Parada {
  kNenhuma,
  kAntes,          // asked before the cycle's first document
  kNoEnvio,        // arrives during the first upload, which ends Interrupted
  kNoEnvioFalha,   // arrives during the first upload, which then fails as any transfer cut short
  kNoEstado,       // arrives during the first status query
};

struct Caso {
  const char* nome;
  Envio envio = Envio::kS1;
  Estado estado = Estado::kAceito;
  Texto texto = Texto::kXml;
  Fonte fonte = Fonte::kNormal;
  Parada parada = Parada::kNenhuma;

  // What it comes to.
  int linhas = 0;       // register rows recorded
  int enviados_a_plataforma = 0;
  int consultas = 0;    // status queries
  int arquivos = 0;     // XML files left in the folder
  const char* log = "";    // a line of the service log holds this ("" none written)
  const char* falha = "";  // the cycle raises this ("" it returns)
  int status = kStatusConcluido;  // the exit status of "/ONCE" of a cycle that returns
  long long nao_enviados = 0;
};

const Caso kCasos[] = {
    {.nome = "AceitoOsDois", .linhas = 2, .enviados_a_plataforma = 2, .consultas = 2},
    {.nome = "S2EOutroCodigoDeEstadoSaoAceitos", .envio = Envio::kS2, .estado = Estado::kOutroAceito,
     .linhas = 2, .enviados_a_plataforma = 2, .consultas = 2},
    {.nome = "EstadoE0NaoRegistra", .estado = Estado::kE0, .linhas = 0, .enviados_a_plataforma = 2,
     .consultas = 2, .nao_enviados = 2},
    {.nome = "EstadoEA0NaoRegistra", .estado = Estado::kEA0, .enviados_a_plataforma = 2, .consultas = 2,
     .nao_enviados = 2},
    {.nome = "EstadoEB0NaoRegistra", .estado = Estado::kEB0, .enviados_a_plataforma = 2, .consultas = 2,
     .nao_enviados = 2},
    {.nome = "OutroCodigoDeEnvioNemConsulta", .envio = Envio::kOutroCodigo, .enviados_a_plataforma = 2,
     .nao_enviados = 2},
    {.nome = "EnvioSemLoteNemConsulta", .envio = Envio::kSemCodigo, .enviados_a_plataforma = 2,
     .nao_enviados = 2},
    {.nome = "RecusadoPelaPlataformaVaiAoLogEOCicloSegue", .envio = Envio::kRecusado, .linhas = 1,
     .enviados_a_plataforma = 2, .consultas = 1,
     .log = "Documento NFe35261211111111000111550010000000011000000011 recusado pela plataforma: ",
     .status = kStatusDocumentosNoLog, .nao_enviados = 1},
    {.nome = "NaoAutorizadoTerminaOCiclo", .envio = Envio::kNaoAutorizado, .enviados_a_plataforma = 1,
     .arquivos = 1, .falha = "401"},
    {.nome = "ErroDoServidorTerminaOCiclo", .envio = Envio::kErroServidor, .enviados_a_plataforma = 1,
     .arquivos = 1, .falha = "500"},
    {.nome = "FalhaDeRedeTerminaOCiclo", .envio = Envio::kRede, .enviados_a_plataforma = 1, .arquivos = 1,
     .falha = "Connection reset by peer"},
    {.nome = "ErroDoServidorNaConsultaTerminaOCiclo", .estado = Estado::kErroServidor,
     .enviados_a_plataforma = 1, .consultas = 1, .arquivos = 1, .falha = "503"},
    {.nome = "LoteDeIdentificadorInvalidoTerminaOCicloSemConsulta", .envio = Envio::kIdInvalido,
     .enviados_a_plataforma = 1, .arquivos = 1, .falha = "um lote de identificador inválido"},
    {.nome = "LoteLongoDemaisRegistradoComUmaLinha", .envio = Envio::kIdLongo, .linhas = 2,
     .enviados_a_plataforma = 2, .consultas = 2, .log = "mais do que os 40 de QUIRADA_ENVIOS_XML.ID_ENVIO",
     .status = kStatusDocumentosNoLog},
    {.nome = "XmlVazioVaiAoLog", .texto = Texto::kVazio, .linhas = 1, .enviados_a_plataforma = 1,
     .consultas = 1, .log = " sem XML no banco de dados: não enviado", .status = kStatusDocumentosNoLog,
     .nao_enviados = 1},
    {.nome = "XmlIlegivelVaiAoLog", .texto = Texto::kNulo, .linhas = 1, .enviados_a_plataforma = 1,
     .consultas = 1, .log = " com XML ilegível no banco de dados: não enviado: conversão impossível",
     .status = kStatusDocumentosNoLog, .nao_enviados = 1},
    {.nome = "XmlComNulVaiAoLog", .texto = Texto::kComNul, .linhas = 1, .enviados_a_plataforma = 1,
     .consultas = 1, .log = " com XML que não pode ser gravado sem alterar seus caracteres: não enviado: ",
     .status = kStatusDocumentosNoLog, .nao_enviados = 1},
    {.nome = "ChaveSemDigitosVaiAoLog", .texto = Texto::kChaveSemDigitos, .linhas = 1,
     .enviados_a_plataforma = 1, .consultas = 1, .log = "a chave de acesso não tem dígitos",
     .status = kStatusDocumentosNoLog, .nao_enviados = 1},
    {.nome = "SemConexaoFalha", .fonte = Fonte::kSemConexao, .status = kStatusFalhou},
    {.nome = "NadaAEnviar", .fonte = Fonte::kNadaAEnviar},
    {.nome = "ChaveDeIntegracaoInvalidaFalhaAntesDeEnviar", .fonte = Fonte::kChaveInvalida,
     .falha = "chave de integração inválida"},
    {.nome = "ReivindicacaoOcupadaTerminaOCiclo", .fonte = Fonte::kOcupada, .status = kStatusOcupado,
     .nao_enviados = 2},
    {.nome = "RegistradoPorOutroCicloNaoVai", .fonte = Fonte::kJaRegistrada, .linhas = 1,
     .enviados_a_plataforma = 1, .consultas = 1},
    {.nome = "FalhaNoRegistroTerminaOCiclo", .fonte = Fonte::kFalhaNoRegistro, .enviados_a_plataforma = 1,
     .consultas = 1, .arquivos = 1,
     .falha = "Documento NFe35261211111111000111550010000000011000000011 aceito pela plataforma (lote L1), "
              "mas o registro do envio falhou: outra transação o impede; será enviado de novo no próximo "
              "ciclo: lock conflict on no wait transaction"},
    {.nome = "ParadaAntesDoPrimeiro", .parada = Parada::kAntes, .nao_enviados = 0},
    {.nome = "ParadaNoEnvio", .parada = Parada::kNoEnvio, .enviados_a_plataforma = 1, .nao_enviados = 2},
    {.nome = "ParadaNoEnvioQueFalha", .parada = Parada::kNoEnvioFalha, .enviados_a_plataforma = 1,
     .nao_enviados = 2},
    {.nome = "ParadaNaConsulta", .parada = Parada::kNoEstado, .enviados_a_plataforma = 1, .consultas = 1,
     .nao_enviados = 2},
};

void PrintTo(const Caso& caso, std::ostream* os) { *os << caso.nome; }

class CicloEmMemoria : public ::testing::TestWithParam<Caso> {};

TDocumentoPendente Documento(long long sequencial, const std::string& chave, std::optional<std::string> texto) {
  TDocumentoPendente d;
  d.sequencial = sequencial;
  d.tipo = "N";
  d.chave = chave;
  if (texto) {
    d.texto = FbText{*texto, false, FbCharacterSet{kFbCsUtf8, "UTF8", 4}};
  } else {
    d.falha_leitura = "conversão impossível";
  }
  return d;
}

TRetornoEnvio RespostaDoEnvio(Envio envio, int n) {
  const std::string lote = "L" + std::to_string(n);
  switch (envio) {
    case Envio::kS1:
      return {201, "S1", lote, "Lote criado"};
    case Envio::kS2:
      return {201, "S2", lote, "Lote criado"};
    case Envio::kOutroCodigo:
      return {201, "X9", lote, "Lote recusado"};
    case Envio::kSemCodigo:
      return {200, "", "", "OK"};
    case Envio::kRecusado:
      if (n == 1) throw PlatformError("Envio recusado: HTTP 422", 422, "{\"erro\":\"XML inválido\"}");
      return {201, "S1", lote, "Lote criado"};
    case Envio::kNaoAutorizado:
      throw PlatformError("Envio recusado: HTTP 401", 401, "");
    case Envio::kErroServidor:
      throw PlatformError("Envio recusado: HTTP 500", 500, "");
    case Envio::kRede:
      throw Exception("Falha de comunicação: Connection reset by peer");
    case Envio::kIdInvalido:
      return {201, "S1", "..", "Lote criado"};
    case Envio::kIdLongo:
      return {201, "S1", n == 1 ? lote + std::string(45 - lote.size(), 'x') : lote, "Lote criado"};
  }
  return {};
}

TRetornoStatus RespostaDoEstado(Estado estado) {
  switch (estado) {
    case Estado::kAceito:
      return {200, "S", "Processado"};
    case Estado::kOutroAceito:
      return {200, "P1", "Em processamento"};
    case Estado::kE0:
      return {200, "E0", "Erro"};
    case Estado::kEA0:
      return {200, "EA0", "Erro"};
    case Estado::kEB0:
      return {200, "EB0", "Erro"};
    case Estado::kErroServidor:
      throw PlatformError("Consulta recusada: HTTP 503", 503, "");
  }
  return {};
}

TEST_P(CicloEmMemoria, RegistraDeixaArquivosEscreveNoLogESai) {
  const Caso& caso = GetParam();
  testing::TempFolder pasta;
  TConfiguracao config;
  config.pasta = config.acesso = pasta.path();

  FakeDocumentSource fonte;
  std::string chave1 = caso.texto == Texto::kChaveSemDigitos ? "NFe-sem-chave" : kChave1;
  std::optional<std::string> texto1 = kXml;
  if (caso.texto == Texto::kVazio) texto1 = "";
  if (caso.texto == Texto::kNulo) texto1.reset();
  if (caso.texto == Texto::kComNul) texto1 = std::string("<NFe>A\0B</NFe>", 14);
  fonte.pendentes = {Documento(1, chave1, texto1), Documento(2, kChave2, kXml)};
  switch (caso.fonte) {
    case Fonte::kNormal:
      break;
    case Fonte::kSemConexao:
      fonte.falha_conexao = "Falha ao conectar ao banco de dados: connection refused";
      break;
    case Fonte::kNadaAEnviar:
      fonte.configuracao = {TEstadoConfiguracaoErp::kNadaAEnviar, "PADRAOII sem linha", "", ""};
      break;
    case Fonte::kChaveInvalida:
      fonte.configuracao = {TEstadoConfiguracaoErp::kInvalida, "chave de integração inválida", "", ""};
      break;
    case Fonte::kOcupada:
      fonte.ocupadas = {kChave1};
      break;
    case Fonte::kJaRegistrada:
      fonte.registradas_por_outro = {kChave1};
      break;
    case Fonte::kFalhaNoRegistro:
      fonte.falha_no_registro = {kChave1};
      break;
  }

  bool parada = caso.parada == Parada::kAntes;
  FakePlatform plataforma;
  plataforma.envio = [&](const std::string&, const std::string&) {
    if (caso.parada == Parada::kNoEnvio || caso.parada == Parada::kNoEnvioFalha) {
      parada = true;
      if (caso.parada == Parada::kNoEnvio) throw Interrupted("Envio interrompido");
      throw Exception("Falha de comunicação: Callback aborted");
    }
    return RespostaDoEnvio(caso.envio, static_cast<int>(plataforma.recebidos.size()));
  };
  plataforma.estado = [&](const std::string&) {
    if (caso.parada == Parada::kNoEstado) {
      parada = true;
      throw Interrupted("Consulta interrompida");
    }
    return RespostaDoEstado(caso.estado);
  };
  std::vector<std::string> log;
  TCicloEnvio ciclo{
      .fonte = fonte,
      .plataforma = [&](const TConfiguracaoErp&) { return plataforma.Emprestada(); },
      .config = config,
      .DoSaveLog = [&](const std::string& linha) { log.push_back(linha); },
      .ParadaSolicitada = [&] { return parada; },
      .Progresso = {},
      .Andamento = {},
  };

  TResumoCiclo resumo;
  const std::string falha = testing::FailureOf([&] { resumo = ExecutarCicloEnvio(ciclo); });
  const int status = falha == "no failure" ? StatusDeSaida(resumo) : kStatusFalhou;

  if (*caso.falha != '\0') {
    EXPECT_NE(falha.find(caso.falha), std::string::npos) << falha;
  } else {
    EXPECT_EQ(falha, "no failure");
  }
  EXPECT_EQ(status, *caso.falha != '\0' ? kStatusFalhou : caso.status);
  EXPECT_EQ(static_cast<int>(fonte.registro.size()), caso.linhas);
  EXPECT_EQ(static_cast<int>(plataforma.recebidos.size()), caso.enviados_a_plataforma);
  EXPECT_EQ(static_cast<int>(plataforma.consultas.size()), caso.consultas);
  int arquivos = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(pasta.path())) ++arquivos;
  EXPECT_EQ(arquivos, caso.arquivos);
  if (*caso.log != '\0') {
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(caso.log), std::string::npos) << log[0];
  } else {
    EXPECT_TRUE(log.empty()) << log.front();
  }
  if (falha == "no failure") {
    EXPECT_EQ(resumo.NaoEnviados(), caso.nao_enviados);
  }
  // The tail ran, whatever happened; every claim taken was let go or ended with its row.
  EXPECT_EQ(fonte.fechada, true);
  EXPECT_LE(fonte.soltas, fonte.reivindicacoes);

  // What reached the platform is what the database holds, byte for byte, under the key's digits.
  for (const FakePlatform::Arquivo& a : plataforma.recebidos) {
    EXPECT_EQ(a.bytes.rfind(kXml, 0), 0u) << a.nome;
    EXPECT_TRUE(a.nome == ExtraiNumero(kChave1) + ".xml" || a.nome == ExtraiNumero(kChave2) + ".xml") << a.nome;
  }
  for (const auto& [chave, linha] : fonte.registro) {
    EXPECT_FALSE(linha.id_envio.empty());
    EXPECT_FALSE(linha.codigo_retorno.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Tabela, CicloEmMemoria, ::testing::ValuesIn(kCasos),
                         [](const ::testing::TestParamInfo<Caso>& info) { return std::string(info.param.nome); });

// A document the database still holds in hand when a stop request arrives is neither recorded nor
// left on disk, and the stop's own summary says how many wait.
TEST(CicloEmMemoriaResumo, TextoDoResumoContaOsQueEsperam) {
  TResumoCiclo resumo;
  resumo.interrompido = true;
  resumo.pendentes = 5;
  resumo.selecionados = 2;
  resumo.enviados = 1;
  EXPECT_EQ(TextoResumo(resumo), "Ciclo interrompido por pedido de parada: 1 enviado(s), 4 não enviado(s).");
}

// "/PENDING" lists what the cycle would take, with the same judgement of each document.
TEST(CicloEmMemoriaPendentes, ListaCadaDocumentoComSeuTamanhoOuSuaCausa) {
  FakeDocumentSource fonte;
  fonte.pendentes = {Documento(1, kChave1, kXml), Documento(2, kChave2, ""), Documento(3, "NFe-x", kXml),
                     Documento(4, kChave2, std::nullopt)};
  std::ostringstream out;
  ListarPendentes(fonte, out);
  const std::string tamanho = std::to_string(std::string(kXml).size() + 2);  // CR LF
  EXPECT_EQ(out.str(), "1 N " + std::string(kChave1) + " " + tamanho + "\n" +
                           "2 N " + kChave2 + " sem XML: não será enviado\n" +
                           "3 N NFe-x não será enviado: a chave de acesso não tem dígitos\n" +
                           "4 N " + kChave2 + " ilegível: conversão impossível\n" +
                           "4 documento(s) pendente(s).\n" + ResumoPorTipo({{"N", 4}}) + "\n");
  EXPECT_TRUE(fonte.fechada);
}

}  // namespace
}  // namespace quirada
