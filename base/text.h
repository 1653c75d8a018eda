// Text conversions between the program's strings (UTF-8), the single-byte code page of the
// machine (ISO-8859-1 here), Windows-1252 and UTF-16.
//
// Latin1ToUtf8 and Windows1252ToUtf8 never fail. Utf8ToLatin1 writes '?' for every character
// outside ISO-8859-1 and for every byte sequence that is not valid UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quirada {

std::string Latin1ToUtf8(std::string_view latin1);
std::string Utf8ToLatin1(std::string_view utf8);
bool IsValidUtf8(std::string_view bytes);

// Windows-1252 to UTF-8. The five bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) become the C1 controls of the same value, as the WHATWG Encoding Standard maps them.
std::string Windows1252ToUtf8(std::string_view bytes);
// The character Windows-1252 gives byte `b` (0x80..0x9F), or 0 for the five undefined ones.
uint32_t Windows1252High(unsigned char b);
// The Windows-1252 byte of `cp`, or -1 when the code page has none (the undefined five included).
int Windows1252Byte(uint32_t cp);
// Whether `cp` is a character of the Windows-1252 repertoire that a text may hold: TAB, LF, CR,
// printable ASCII, the Latin-1 letters and symbols (U+00A0..U+00FF), and the punctuation, letters
// and € that Windows-1252 puts at 0x80..0x9F. No other control character, nothing beyond.
bool IsWindows1252TextCharacter(uint32_t cp);
// Whether `bytes` are valid UTF-8 holding at least one character beyond ASCII and only characters
// IsWindows1252TextCharacter accepts: what reading bytes of unknown meaning as UTF-8 may give.
bool IsUtf8OfWindows1252Text(std::string_view bytes);

// One code point of `s` at `i`, advancing `i` past it. Returns false (advancing one byte) when the
// bytes there are not a valid, shortest-form UTF-8 sequence.
bool DecodeUtf8At(std::string_view s, size_t& i, uint32_t& cp);
void AppendUtf8(std::string& out, uint32_t cp);
// `s` with every byte sequence that is not valid UTF-8 made a '?'.
std::string ValidUtf8(std::string_view s);

// UTF-16 (little or big endian, no byte-order mark) to UTF-8 and back; unpaired surrogates become '?'.
std::string Utf16ToUtf8(std::string_view bytes, bool big_endian);
std::string Utf8ToUtf16(std::string_view utf8, bool big_endian);

// The machine's single-byte (ANSI) code page, in which the service's own text files are written
// (the service log, the token file, the upload log): ISO-8859-1 on Linux, the system's ANSI code
// page on Windows. A character it cannot hold is written as '?'.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
// That code page's name as an operator knows it: "ISO-8859-1" on Linux, "windows-1252" (or the
// system's other ANSI code page) on Windows.
std::string AnsiCodePageName();

// `bytes` in lower-case hexadecimal, two digits a byte.
std::string LowerHex(std::string_view bytes);

// A 64-bit FNV-1a digest of `text`: the same on every host, platform and run (not a secret's).
uint64_t StableHash(std::string_view text);

// Whether two texts are equal when ASCII letters are compared without regard to case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The longest start of `utf8` of at most `max_bytes` bytes that does not end inside a character
// (a cut that would split one goes back to its first byte).
std::string_view Utf8Prefix(std::string_view utf8, size_t max_bytes);

// `text` on one line: every CR and LF becomes a blank.
std::string OneLine(std::string text);

// 2 when a C1 control character (U+0080 to U+009F) starts at `at` in `utf8`, else 0.
size_t Utf8C1Length(std::string_view utf8, size_t at);

// `utf8` as it may reach an operator's terminal: every control character becomes a blank (C0, line
// breaks and TAB included, DEL, C1), and so does every byte that is no part of valid UTF-8 (a
// terminal could take it for a control). Nothing a database or a peer sends can then move the
// cursor, clear the screen or retitle the window.
std::string BlankControls(std::string_view utf8);

}  // namespace quirada
