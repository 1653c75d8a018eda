// The XML file of one document, written beside the executable just before its upload.
//
// The file holds exactly the characters the ERP stored, as one line followed by CR LF (line breaks
// inside the text stay as they are), each document decided on its own:
//  - The characters: stored characters are never reinterpreted where the column's character set
//    or the document's declaration says what they are. Text of a column with a character set is
//    the characters the server gives; bytes are read as UTF-8 only where their meaning is unknown,
//    in a document that declares UTF-8 or no encoding, and only when every character they spell is
//    one a Brazilian fiscal document holds (IsUtf8OfWindows1252Text: Latin-1 letters and symbols,
//    the Windows-1252 punctuation, €):
//      - the stored bytes of a column without character set (NONE, OCTETS): that UTF-8, else
//        Windows-1252 (the WHATWG Encoding Standard's reading of the labels ISO-8859-1, US-ASCII
//        and windows-1252 alike, so 0x80..0x9F are "€ “ ” –" and their kin);
//      - a single-byte column whose bytes the program knows (ISO8859_1, WIN1252) holding bytes that
//        spell such UTF-8 (an ERP that kept a document's UTF-8 bytes there): that UTF-8, else the
//        column's own characters.
//    In the text of a single-byte column or of bytes read as Windows-1252, a C1 control
//    (U+0080..U+009F) is the Windows-1252 character of its byte, which a Windows ERP wrote.
//  - The encoding: the one the XML declaration names, when every character fits it (UTF-8,
//    ISO-8859-1, windows-1252, US-ASCII); otherwise UTF-8, with the declaration's encoding changed
//    to "UTF-8" (the declaration is outside a signature's canonical form; the characters are not).
//    No declaration, or none naming an encoding: UTF-8.
// A text that cannot be written without changing a character gives no file, only the reason, with
// the character's position in the stored text (counted as the database counts it: characters, the
// bytes of a column without character set): a character XML 1.0 does not admit (NUL and the other
// C0 controls but TAB, LF and CR; U+FFFE, U+FFFF), or a C1 control of a single-byte text that no
// Windows-1252 character stands behind.
#pragma once

#include <string>

#include "firebird/fb_value.h"

namespace quirada {

struct XmlFileContent {
  std::string bytes;    // the file's content, CR LF included; empty when `failure` is set
  std::string failure;  // why no faithful file can be written, in a sentence of the log
};

// `text.charset` says what the characters of a text that is not raw were stored in; not Known(),
// they are taken as they are (no guess, no C1 control mapped).
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
