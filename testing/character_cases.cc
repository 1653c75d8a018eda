#include "testing/character_cases.h"

#include "testing/system_decoder.h"

namespace quirada::testing {

std::string Decl(const std::string& label) { return "<?xml version=\"1.0\" encoding=\"" + label + "\"?>"; }

const std::vector<CharacterCase>& CharacterCases() {
  static const std::vector<CharacterCase> cases = [] {
    const std::string u = Decl("UTF-8"), w = Decl("windows-1252"), l = Decl("ISO-8859-1");
    // Where the character after "<x>a" stands in a document declared `decl`.
    auto after_a = [](const std::string& decl) { return decl.size() + 5; };
    const std::string quotes_1252 = "\x80 \x93" "aspas\x94 \x96 a\xE7\xE3o";
    // "É®" in Windows-1252 and ISO-8859-1; the same two bytes spell "ɮ" in UTF-8.
    const std::string nescafe = "NESCAF\xC9\xAE ORIGINAL 160G";
    const std::string acao_utf8 = "a\xC3\xA7\xC3\xA3o";
    // A supplier's document received double-encoded ("SÃƒO JOÃƒO") and stored as received.
    const std::string distribuidora = "DISTRIBUIDORA S\xC3\x83\xC6\x92O JO\xC3\x83\xC6\x92O LTDA";
    const std::vector<std::string> notes_in_win1252 = {
        "ALTER TABLE NOTASENTRADASESAIDAS DROP XMLNFE",
        "ALTER TABLE NOTASENTRADASESAIDAS ADD XMLNFE BLOB SUB_TYPE TEXT CHARACTER SET WIN1252"};
    const std::vector<std::string> notes_in_varchar = {"ALTER TABLE NOTASENTRADASESAIDAS DROP XMLNFE",
                                                       "ALTER TABLE NOTASENTRADASESAIDAS ADD XMLNFE VARCHAR(4000)"};
    return std::vector<CharacterCase>{
        {"WIN1252 database",
         "WIN1252",
         3,
         {},
         {{1, u + "<x>" + quotes_1252 + "</x>", "€ “aspas” – ação"},
          {2, "<x>" + quotes_1252 + "</x>", "€ “aspas” – ação"},
          {3, w + "<x>" + quotes_1252 + "</x>", "€ “aspas” – ação", true},
          {4, w + "<x>" + nescafe + "</x>", "NESCAFÉ® ORIGINAL 160G", true},
          {5, u + "<x>" + nescafe + "</x>", "NESCAFÉ® ORIGINAL 160G"},
          {6, u + "<x>" + acao_utf8 + "</x>", "ação"},          // UTF-8 bytes the ERP kept there
          {7, w + "<x>" + acao_utf8 + "</x>", "aÃ§Ã£o", true},  // declared windows-1252: as stored
          {8, u + "<x>a\x81" "b</x>", std::nullopt, false, after_a(u)}}},  // undefined: U+0000
        {"UTF8 database, a euro between two ISO-8859-1 notes, a double-encoded note and cancellation",
         "UTF8",
         3,
         {},
         {{1, l + "<x>ação</x>", "ação"},
          {2, u + "<x>10 €</x>", "10 €", true},
          {3, l + "<x>João</x>", "João"},
          {4, w + "<x>“ção”</x>", "“ção”"},
          {5, u + "<x>" + distribuidora + "</x>", "DISTRIBUIDORA SÃƒO JOÃƒO LTDA", true},
          {6, u + "<x>" + distribuidora + "</x>", "DISTRIBUIDORA SÃƒO JOÃƒO LTDA", true, 0, true}}},
        {"NONE database holding Windows-1252 and UTF-8 bytes",
         "NONE",
         3,
         {},
         {{1, u + "<x>\x80\x93\x94\x96</x>", "€“”–"},
          {2, u + "<x>ação €</x>", "ação €", true},
          {3, u + "<x>a\x81</x>", std::nullopt, false, after_a(u)},
          {4, u + "<x>" + nescafe + "</x>", "NESCAFÉ® ORIGINAL 160G"},
          {5, w + "<x>" + acao_utf8 + "</x>", "aÃ§Ã£o", true},
          {6, u + "<x>a\x01</x>", std::nullopt, false, after_a(u)}}},
        {"ISO8859_1 database where a Windows ERP wrote 0x93 and 0x94",
         "ISO8859_1",
         3,
         {},
         {{1, u + "<x>\x93ol\x94</x>", "“ol”"},
          {2, "<x>" + acao_utf8 + "</x>", "ação"},
          {3, l + "<x>" + acao_utf8 + "</x>", "aÃ§Ã£o", true},
          {4, u + "<x>a\x81</x>", std::nullopt, false, after_a(u)}}},
        {"UTF8 database whose notes' column is WIN1252 (cancellations in the database's UTF8)",
         "UTF8",
         3,
         notes_in_win1252,
         {{1, u + "<x>" + acao_utf8 + "</x>", "ação"},
          {2, u + "<x>" + nescafe + "</x>", "NESCAFÉ® ORIGINAL 160G"},
          {3, u + "<x>" + distribuidora + "</x>", "DISTRIBUIDORA SÃƒO JOÃƒO LTDA", true, 0, true}}},
        {"dialect 1 WIN1252 database keeping notes in a VARCHAR",
         "WIN1252",
         1,
         notes_in_varchar,
         {{1, w + "<x>" + nescafe + "</x>", "NESCAFÉ® ORIGINAL 160G", true},
          {2, u + "<x>" + acao_utf8 + "</x>", "ação"},
          {3, u + "<x>a\x8D</x>", std::nullopt, false, after_a(u)}}},
    };
  }();
  return cases;
}

void FillCharacterCase(ErpDatabase& db, const CharacterCase& c) {
  for (const std::string& sql : c.setup) db.Execute(sql);
  db.InsertSettings({});
  for (const StoredDocument& d : c.documents) {
    const std::string seq = std::to_string(d.seq), key = DocumentKey(d.seq);
    db.ExecuteIn("NONE", d.cancellation
                             ? "INSERT INTO XML_CANCELAMENTO (SEQUENCIAL, CHAVE_CANC, XML, DATA) VALUES (" + seq +
                                   ", '" + key + "', '" + d.stored + "', CAST('TODAY' AS DATE))"
                             : "INSERT INTO NOTASENTRADASESAIDAS (SEQUENCIAL, CHAVENFE, XMLNFE, DATA, "
                               "MODELONOTAFISCAL, EMISSAO, STATUSNFE) VALUES (" + seq + ", '" + key + "', '" +
                                   d.stored + "', CAST('TODAY' AS DATE), '65', 'P', 'E')");
  }
}

std::string DeclaredLabel(const std::string& bytes) {
  if (!bytes.starts_with("<?xml")) return "";
  const size_t end = bytes.find("?>");
  const size_t at = bytes.find("encoding=\"");
  if (at == std::string::npos || at > end) return "";
  return bytes.substr(at + 10, bytes.find('"', at + 10) - at - 10);
}

std::optional<std::string> AsXmlReadsIt(const std::string& bytes) {
  const std::string label = DeclaredLabel(bytes);
  return SystemDecodeToUtf8(bytes, label.empty() ? "UTF-8" : label);
}

std::string Content(const std::string& text) {
  const size_t open = text.find("<x>"), close = text.find("</x>");
  if (open == std::string::npos || close == std::string::npos) return "<no x element>";
  return text.substr(open + 3, close - open - 3);
}

std::string RefusedAtText(size_t position) { return "na posição " + std::to_string(position) + ","; }

}  // namespace quirada::testing
