#include "service/instances_report.h"

#include <ostream>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "base/datetime.h"
#include "base/errors.h"
#include "base/ini_file.h"
#include "base/platform.h"
#include "base/text.h"
#include "dispatch/configuration.h"
#include "dispatch/dispatch_cycle.h"
#include "dispatch/firebird_source.h"
#include "service/service_folder.h"

namespace quirada {
namespace {


std::string Instante(int64_t unix_seconds) { return FormatLogStamp(FromUnix(unix_seconds)); }

// A reason on one line for a person, not longer than a line should be.
std::string Motivo(const std::string& texto) {
  const std::string limpo = BlankControls(texto);
  return limpo.size() > 300 ? std::string(Utf8Prefix(limpo, 300)) + " [...]" : limpo;
}

// --- Lines -------------------------------------------------------------------------------------

std::string EmLinhas(const std::vector<TInstanciaRelatada>& instancias, int64_t agora) {
  std::string texto;
  std::string atencao;
  int com_problema = 0;
  for (const TInstanciaRelatada& i : instancias) {
    const TInstanciaRegistrada& r = i.registro;
    const TEstadoInstancia& e = i.estado.estado;
    texto += r.servico + " (" + (r.nome.empty() ? "sem nome" : r.nome) + "): pasta " +
             BlankControls(r.pasta) + "; serviço " + BlankControls(r.estado) + "; último ciclo: " +
             BlankControls(i.estado.ultimo);
    if (e.falhas_seguidas > 1) texto += "; falhas seguidas: " + std::to_string(e.falhas_seguidas);
    texto += i.pendentes ? "; pendentes: " + std::to_string(*i.pendentes)
                         : "; pendentes: não contados (" + Motivo(i.pendentes_motivo) + ")";
    if (e.proximo_ciclo) texto += "; próximo ciclo: " + Instante(*e.proximo_ciclo);
    const TJulgamento julgamento = JulgarInstancia(i, agora);
    if (!julgamento.bem) {
      texto += "; ATENÇÃO: " + julgamento.motivo;
      atencao += (com_problema++ ? ", " : "") + (r.nome.empty() ? r.servico : r.nome);
    }
    texto += "\n";
  }
  texto += std::to_string(instancias.size()) + " instância(s) registrada(s).\n";
  if (com_problema > 0)
    texto += std::to_string(com_problema) + " instância(s) pedem atenção: " + atencao + ".\n";
  return texto;
}

// --- JSON --------------------------------------------------------------------------------------

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

void Texto(Writer& w, const std::string& texto) {
  const std::string valido = ValidUtf8(texto);
  w.String(valido.c_str(), static_cast<rapidjson::SizeType>(valido.size()));
}

void TextoOuNulo(Writer& w, const std::optional<std::string>& texto) {
  if (texto) {
    Texto(w, *texto);
  } else {
    w.Null();
  }
}

void InstanteOuNulo(Writer& w, const std::optional<int64_t>& valor) {
  TextoOuNulo(w, valor ? std::optional<std::string>(FormatIso8601(*valor)) : std::nullopt);
}

void InteiroOuNulo(Writer& w, const std::optional<long long>& valor) {
  if (valor) {
    w.Int64(*valor);
  } else {
    w.Null();
  }
}

std::string EmJson(const std::vector<TInstanciaRelatada>& instancias) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.SetIndent(' ', 2);
  w.StartArray();
  for (const TInstanciaRelatada& i : instancias) {
    const TEstadoInstancia& e = i.estado.estado;
    w.StartObject();
    w.Key("servico");
    Texto(w, i.registro.servico);
    w.Key("instancia");
    Texto(w, i.registro.nome);
    w.Key("pasta");
    Texto(w, i.registro.pasta);
    w.Key("estado");
    Texto(w, i.registro.estado);
    w.Key("ultimo_ciclo");
    if (e.fim) {
      w.StartObject();
      w.Key("inicio");
      InstanteOuNulo(w, e.inicio);
      w.Key("fim");
      InstanteOuNulo(w, e.fim);
      w.Key("enviados");
      w.Int64(e.enviados);
      w.Key("nao_enviados");
      w.Int64(e.nao_enviados);
      w.Key("falha");
      TextoOuNulo(w, e.falha);
      w.EndObject();
    } else {
      w.Null();
    }
    w.Key("ultimo_sucesso");
    InstanteOuNulo(w, e.ultimo_sucesso);
    w.Key("falhas_seguidas");
    w.Int64(e.falhas_seguidas);
    w.Key("pendentes");
    InteiroOuNulo(w, i.pendentes);
    w.Key("proximo_ciclo");
    InstanteOuNulo(w, e.proximo_ciclo);
    w.Key("versao");
    TextoOuNulo(w, e.versao.empty() ? std::nullopt : std::optional<std::string>(e.versao));
    w.EndObject();
  }
  w.EndArray();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

// --- Prometheus --------------------------------------------------------------------------------

// A label's value as the text format writes it: backslash, double quote and line feed escaped.
std::string Rotulo(const std::string& valor) {
  std::string escrito;
  for (const char c : ValidUtf8(valor)) {
    switch (c) {
      case '\\': escrito += "\\\\"; break;
      case '"': escrito += "\\\""; break;
      case '\n': escrito += "\\n"; break;
      default: escrito += c;
    }
  }
  return escrito;
}

struct TFamilia {
  const char* nome;
  const char* ajuda;
  // The sample's value for an instance; nothing leaves the instance out of the family.
  std::optional<double> (*valor)(const TInstanciaRelatada&, const TJulgamento&);
};

std::optional<double> Opcional(const std::optional<int64_t>& v) {
  return v ? std::optional<double>(static_cast<double>(*v)) : std::nullopt;
}

const TFamilia kFamilias[] = {
    {"quirada_instancia_ok",
     "1 quando o ultimo ciclo da instancia nao falhou e houve ciclo nos ultimos dois periodos; 0 "
     "quando nao",
     [](const TInstanciaRelatada&, const TJulgamento& j) -> std::optional<double> { return j.bem ? 1 : 0; }},
    {"quirada_ultimo_ciclo_inicio_timestamp_seconds", "Inicio do ultimo ciclo (segundos desde 1970, UTC)",
     [](const TInstanciaRelatada& i, const TJulgamento&) {
       return i.estado.estado.fim ? Opcional(i.estado.estado.inicio) : std::nullopt;
     }},
    {"quirada_ultimo_ciclo_fim_timestamp_seconds", "Fim do ultimo ciclo (segundos desde 1970, UTC)",
     [](const TInstanciaRelatada& i, const TJulgamento&) { return Opcional(i.estado.estado.fim); }},
    {"quirada_ultimo_ciclo_enviados", "Documentos que o ultimo ciclo enviou e registrou",
     [](const TInstanciaRelatada& i, const TJulgamento&) -> std::optional<double> {
       if (!i.estado.estado.fim) return std::nullopt;
       return static_cast<double>(i.estado.estado.enviados);
     }},
    {"quirada_ultimo_ciclo_nao_enviados", "Documentos que o ultimo ciclo selecionou e nao registrou",
     [](const TInstanciaRelatada& i, const TJulgamento&) -> std::optional<double> {
       if (!i.estado.estado.fim) return std::nullopt;
       return static_cast<double>(i.estado.estado.nao_enviados);
     }},
    {"quirada_ultimo_ciclo_falhou", "1 quando o ultimo ciclo falhou (o texto da falha: /INSTANCIAS --json)",
     [](const TInstanciaRelatada& i, const TJulgamento&) -> std::optional<double> {
       if (!i.estado.estado.fim) return std::nullopt;
       return i.estado.estado.falha ? 1 : 0;
     }},
    {"quirada_ultimo_sucesso_timestamp_seconds",
     "Fim do ultimo ciclo que nao falhou (segundos desde 1970, UTC)",
     [](const TInstanciaRelatada& i, const TJulgamento&) { return Opcional(i.estado.estado.ultimo_sucesso); }},
    {"quirada_falhas_seguidas", "Ciclos seguidos que falharam, ate o ultimo",
     [](const TInstanciaRelatada& i, const TJulgamento&) -> std::optional<double> {
       if (!i.estado.lido) return std::nullopt;
       return static_cast<double>(i.estado.estado.falhas_seguidas);
     }},
    {"quirada_pendentes", "Documentos pendentes agora, contados como /PENDING os conta",
     [](const TInstanciaRelatada& i, const TJulgamento&) -> std::optional<double> {
       if (!i.pendentes) return std::nullopt;
       return static_cast<double>(*i.pendentes);
     }},
    {"quirada_proximo_ciclo_timestamp_seconds", "Hora do proximo ciclo do servico (segundos desde 1970, UTC)",
     [](const TInstanciaRelatada& i, const TJulgamento&) { return Opcional(i.estado.estado.proximo_ciclo); }},
};

std::string Rotulos(const TInstanciaRegistrada& r) {
  return "instancia=\"" + Rotulo(r.nome) + "\",servico=\"" + Rotulo(r.servico) + "\"";
}

std::string Numero(double valor) {
  char texto[32];
  std::snprintf(texto, sizeof texto, "%.17g", valor);
  return texto;
}

std::string EmPrometheus(const std::vector<TInstanciaRelatada>& instancias, int64_t agora) {
  std::vector<TJulgamento> julgamentos;
  for (const TInstanciaRelatada& i : instancias) julgamentos.push_back(JulgarInstancia(i, agora));
  std::string texto;
  // What does not change from cycle to cycle rides on an info family's labels.
  texto += "# HELP quirada_instancia_info A instancia: pasta, estado no gerenciador de servicos, "
           "versao do programa\n# TYPE quirada_instancia_info gauge\n";
  for (const TInstanciaRelatada& i : instancias) {
    texto += "quirada_instancia_info{" + Rotulos(i.registro) + ",pasta=\"" + Rotulo(i.registro.pasta) +
             "\",estado=\"" + Rotulo(i.registro.estado) + "\",versao=\"" +
             Rotulo(i.estado.estado.versao) + "\"} 1\n";
  }
  for (const TFamilia& f : kFamilias) {
    std::string amostras;
    for (size_t n = 0; n < instancias.size(); ++n) {
      if (const auto valor = f.valor(instancias[n], julgamentos[n]))
        amostras += std::string(f.nome) + "{" + Rotulos(instancias[n].registro) + "} " + Numero(*valor) + "\n";
    }
    if (amostras.empty()) continue;
    texto += std::string("# HELP ") + f.nome + " " + f.ajuda + "\n# TYPE " + f.nome + " gauge\n" + amostras;
  }
  return texto;
}

}  // namespace

TJulgamento JulgarInstancia(const TInstanciaRelatada& instancia, int64_t agora) {
  const TEstadoLido& lido = instancia.estado;
  if (!lido.lido) return {false, "o estado não pôde ser lido: " + lido.ultimo};
  const TEstadoInstancia& e = lido.estado;
  const std::string& servico = instancia.registro.estado;
  if (instancia.registro.nome.empty() && !e.partida && !e.fim && (servico == "inactive" || servico == "STOPPED"))
    return {true, ""};  // not in use
  const int64_t intervalo = e.intervalo_segundos.value_or(kIntervaloPadraoMs / 1000);
  if (e.fim) {
    if (e.falha)
      return {false, "o último ciclo falhou (" + std::to_string(e.falhas_seguidas) +
                         " ciclo(s) seguido(s) com falha)"};
    if (agora - *e.fim > 2 * intervalo)
      return {false, "nenhum ciclo desde " + Instante(*e.fim) + ", mais de dois períodos (" +
                         std::to_string(intervalo) + " s cada)"};
    return {true, ""};
  }
  if (e.partida && agora - *e.partida <= 2 * intervalo) return {true, ""};  // the first is coming
  return {false, e.partida ? "nenhum ciclo desde a partida do serviço, em " + Instante(*e.partida)
                           : "nenhum ciclo registrado"};
}

std::optional<long long> ContarPendentesDaPasta(const std::string& pasta, std::string& motivo) {
  try {
    if (pasta.empty()) throw Exception("a pasta da instância não é conhecida");
    const TPastaAberta aberta = AbrirPasta(pasta);
    if (aberta.nao_confiavel) throw Exception("a pasta não é confiável");
    if (!aberta.pasta.IsOpen()) throw Exception(aberta.nao_alcancada);
    TConfiguracao config = ConfiguracaoDaInstancia(pasta, ReadIniFile(aberta.Caminho(kArquivoIni)),
                                                   pasta == ExecutableDir());
    config.acesso = aberta.Caminho("");
    ErpComponents erp;
    TFonteFirebird fonte(erp, config, nullptr, nullptr);
    const long long pendentes = ContarPendentesDaFonte(fonte);
    return pendentes;
  } catch (const std::exception& e) {
    motivo = e.what();
    return std::nullopt;
  }
}

std::string TextoDoRelatorio(const std::vector<TInstanciaRelatada>& instancias, TFormatoRelatorio formato,
                             int64_t agora) {
  switch (formato) {
    case TFormatoRelatorio::kJson: return EmJson(instancias);
    case TFormatoRelatorio::kPrometheus: return EmPrometheus(instancias, agora);
    case TFormatoRelatorio::kLinhas: break;
  }
  return EmLinhas(instancias, agora);
}

int RelatarInstancias(const std::vector<TInstanciaRegistrada>& registradas, TFormatoRelatorio formato,
                      std::ostream& out, std::ostream& err) {
  std::vector<TInstanciaRelatada> instancias;
  for (const TInstanciaRegistrada& r : registradas) {
    TInstanciaRelatada i{r, LerEstadoDaPasta(r.pasta), std::nullopt, ""};
    i.pendentes = ContarPendentesDaPasta(r.pasta, i.pendentes_motivo);
    if (!i.pendentes && formato != TFormatoRelatorio::kLinhas)
      err << "Pendentes de " << r.servico << " não contados: " << Motivo(i.pendentes_motivo) << '\n';
    instancias.push_back(std::move(i));
  }
  const int64_t agora = UnixNow();
  out << TextoDoRelatorio(instancias, formato, agora) << std::flush;
  err << std::flush;
  for (const TInstanciaRelatada& i : instancias)
    if (!JulgarInstancia(i, agora).bem) return 1;
  return 0;
}

}  // namespace quirada
