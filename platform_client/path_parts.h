// Splitting the paths the platform client is given (the XML file to upload, the upload log) the way
// the service's users write them: "/" as well as "\" and the drive colon separate the parts.
#pragma once

#include <string>
#include <string_view>

namespace quirada {

// The text after the last "/", "\" or ":" ("C:\dados\123.xml" and "/srv/123.xml" give "123.xml").
std::string LastPathComponent(std::string_view path);

// Everything up to and including the last "/", "\" or ":"; empty for a bare name.
std::string FolderPart(std::string_view path);

// The path with every "\" turned into "/", for this machine's file system.
std::string LocalPath(std::string_view path);

}  // namespace quirada
