// The documents the throughput benchmark sends: an NF-e of about 20 KB, numbered.
#pragma once

#include <string>

inline std::string BenchXml(int n) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><nfeProc><NFe><infNFe Id=\"NFe" +
                    std::to_string(n) + "\">";
  while (xml.size() < 20 * 1024 - 32) xml += "<det><prod><xProd>Produto de exemplo</xProd></prod></det>";
  return xml + "</infNFe></NFe></nfeProc>";
}
