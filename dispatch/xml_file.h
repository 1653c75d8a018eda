// The XML file of one document, written beside the executable just before its upload.
//
// The file holds the document's text as one line followed by CR LF (line breaks inside the text
// stay as they are). The bytes are the database's own (the text as the ISO-8859-1 connection
// delivers it), so a document that was valid stays byte for byte the same. Only when those bytes
// are not valid UTF-8 and the XML declaration names UTF-8 or no encoding at all is the text
// written as UTF-8 instead: such a document would otherwise not be well-formed XML.
#pragma once

#include <string>

namespace quirada {

// The bytes of the file for the document whose text the database holds as `db_bytes`
// (ISO-8859-1), CR LF included.
std::string XmlFileBytes(const std::string& db_bytes);

// Creates or replaces the file at `path` with XmlFileBytes(db_bytes). Failures raise Exception
// "Cannot create file "<path>". <system error text>" or "Cannot write file "<path>". <system error
// text>"; a file that could not be written whole is removed, never left cut short.
void SaveXmlFile(const std::string& path, const std::string& db_bytes);

// The ASCII digits of `texto`, in their order; every other character is dropped.
std::string ExtraiNumero(const std::string& texto);

}  // namespace quirada
