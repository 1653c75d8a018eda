// Named parameters in SQL text: ":NAME" becomes the positional marker "?" that Firebird prepares.
//
// A name starts with a letter or '_' and goes on with letters, digits, '_' and '$'. The same name
// may occur several times; every occurrence gets its own marker and all of them carry the value
// bound to that name. Names are returned as written; callers compare them without regard to case.
// Nothing inside string literals ('...', with '' inside, and Firebird's q'{...}' form), quoted
// identifiers ("...", with "" inside), "--" comments (to the end of the line) and "/* */" comments
// is touched, and no other character of the text changes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quirada {

struct PositionalSql {
  std::string sql;                 // the text with every parameter replaced by "?"
  std::vector<std::string> names;  // the name behind each "?", in order of appearance
};

PositionalSql RewriteNamedParams(std::string_view sql);

}  // namespace quirada
