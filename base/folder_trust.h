// Whether another local user could turn a folder of the program against it: swap a file the
// program writes there for a link to a file of theirs, or rewrite what it reads there.
//
// A folder is trusted as sshd's StrictModes decides: the folder, every folder above it up to the
// root and each of the files named in it are owned by root or by the user this process acts as,
// and neither their group nor others may write them. A folder above that others may write is fine
// when it has the sticky bit (as /tmp has): no one there removes or renames what is not theirs. A
// file named with `follow_link` may be a link its owner made elsewhere (the log): the link, the
// file it leads to and that file's folders up to the root are all checked then. A file or folder
// that is not there is not checked.
//
// On Windows the access rules of the program's folder decide and come with its installation; no
// check is made there (nothing is reported).
#pragma once

#include <string>
#include <vector>

namespace quirada {

struct TrustedFileName {
  std::string name;          // in the folder
  bool follow_link = false;  // the program opens it through a link its owner made
};

// One thing that makes a folder untrusted.
struct UntrustedPath {
  std::string path;
  std::string why;   // who besides root and this user may change it, e.g. "o grupo staff (gid 50)
                     // pode gravar nela (modo 0775)"
  std::string mend;  // the command that mends it, e.g. "chmod g-w \"/opt/q\""
};

// Everything that makes `dir` (with or without its trailing separator) and the files named in it
// untrusted; empty when it is trusted.
std::vector<UntrustedPath> FindUntrustedPaths(const std::string& dir,
                                              const std::vector<TrustedFileName>& files);

// For a file this process could not open: when another user owns it, "o arquivo "<path>" pertence
// a <owner>, e o programa roda como <user>: corrija com chown <user> "<path>""; "" when it is this
// user's, is not there or its owner cannot be told.
std::string ForeignOwnerHint(const std::string& path);

}  // namespace quirada
