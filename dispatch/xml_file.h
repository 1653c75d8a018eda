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

// Writes XmlFileBytes(db_bytes) to a new file at `path`, mode 0600: a stale file there is removed
// first (RemoveStaleXmlFile), then the file is created new (exclusively: a link or anything else
// that appears in its name meanwhile is never followed nor written through). Failures raise
// Exception "Cannot create file "<path>". <system error text>" or "Cannot write file "<path>".
// <system error text>"; a file that could not be written whole is removed, never left cut short.
void SaveXmlFile(const std::string& path, const std::string& db_bytes);

// Removes what an earlier cycle left at `path`: a regular file, or a symbolic link (the link
// itself, never what it leads to). A FIFO, a device or a folder there is refused with a message
// naming it (FileError, NotRegularFileMessage).
void RemoveStaleXmlFile(const std::string& path);

// The ASCII digits of `texto`, in their order; every other character is dropped.
std::string ExtraiNumero(const std::string& texto);

}  // namespace quirada
