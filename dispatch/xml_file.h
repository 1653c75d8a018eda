// The XML file of one document, written beside the executable just before its upload.
//
// The file holds exactly the characters the ERP stored, as one line followed by CR LF (line breaks
// inside the text stay as they are), each document decided on its own:
//  - The characters: text of a column with a character set as the server gives it (UTF-8); the
//    stored bytes of a column without one (NONE) as UTF-8 when they are valid UTF-8, else as
//    Windows-1252 (the WHATWG Encoding Standard's reading of the labels ISO-8859-1, US-ASCII and
//    windows-1252 alike, so 0x80..0x9F are "€ “ ” –" and their kin, never C1 controls). A text
//    whose characters are all single bytes of ISO-8859-1 or Windows-1252 that together spell
//    UTF-8 (an ERP that kept a document's UTF-8 bytes in a single-byte column) is those UTF-8
//    characters. Fiscal XML never holds C1 controls (U+0080..U+009F): each is the Windows-1252
//    character of its byte, which a Windows ERP wrote.
//  - The encoding: the one the XML declaration names, when every character fits it (UTF-8,
//    ISO-8859-1, windows-1252, US-ASCII); otherwise UTF-8, with the declaration's encoding changed
//    to "UTF-8" (the declaration is outside a signature's canonical form; the characters are not).
//    No declaration, or none naming an encoding: UTF-8.
// A text that cannot be written without changing a character (a C1 control that no Windows-1252
// character stands behind) gives no file, only the reason.
#pragma once

#include <string>

#include "dispatch/fb_value.h"

namespace quirada {

struct XmlFileContent {
  std::string bytes;    // the file's content, CR LF included; empty when `failure` is set
  std::string failure;  // why no faithful file can be written, in a sentence of the log
};

XmlFileContent XmlFileBytes(const FbText& text);

// Writes `bytes` to a new file at `path`, mode 0600: a stale file there is removed first
// (RemoveStaleXmlFile), then the file is created new (exclusively: a link or anything else that
// appears in its name meanwhile is never followed nor written through). Failures raise FileError
// "Cannot create file "<path>". <system error text>" or "Cannot write file "<path>". <system error
// text>"; a file that could not be written whole is removed, never left cut short.
void SaveXmlFile(const std::string& path, const std::string& bytes);

// Removes what an earlier cycle left at `path`: a regular file, or a symbolic link (the link
// itself, never what it leads to). A FIFO, a device or a folder there is refused with a message
// naming it (FileError, NotRegularFileMessage).
void RemoveStaleXmlFile(const std::string& path);

// The ASCII digits of `texto`, in their order; every other character is dropped.
std::string ExtraiNumero(const std::string& texto);

}  // namespace quirada
