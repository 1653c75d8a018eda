// Whether another local user could turn a folder of the program against it: swap a file the
// program writes there for a link to a file of theirs, or rewrite what it reads or runs there.
//
// On Linux a folder is trusted as sshd's StrictModes decides: the folder, every folder above it up
// to the root and each of the files named in it are owned by root or by the user this process acts
// as, and neither their group nor others may write them. A folder above that others may write is
// fine when it has the sticky bit (as /tmp has): no one there removes or renames what is not
// theirs. A file named with `follow_link` may be a link its owner made elsewhere (the log): the
// link, the file it leads to and that file's folders up to the root are all checked then.
//
// The path is judged as it is written, one entry at a time from the root down, as the system
// walks it: a link met on the way (a symbolic link; a junction or a symbolic link, any reparse
// point, on Windows) is an entry of its folder like any other, trusted only where that folder is
// and when root or this user (SYSTEM, the Administrators...) owns it; what it leads to is then
// walked and judged the same way, from the root for an absolute target, from the link's folder for
// a relative one, 40 links at most. What is judged is the entry the walk holds open, and the
// folder reached is kept open (held_folder.h) for the program to use: what was judged is what is
// used, whatever is renamed or swapped later.
//
// On Windows the same is decided by the owners and the access rules (DACLs): the folder and each
// file named in it are trusted when they are owned by, and may be written (write or append data,
// add files or folders, delete, change permissions or owner) by no one but SYSTEM, the
// Administrators, TrustedInstaller and the service's account (SetServiceAccount); each folder above
// it when no one else may delete or rename what it holds, or change its rules. Rules that only
// folders and files made later inherit do not count. Under Wine the rules are those the Unix mode
// gives (the owner, SYSTEM, and Everyone for the bits of others).
//
// A file or folder that is not there is not checked.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/held_folder.h"

namespace quirada {

struct TrustedFileName {
  std::string name;          // in the folder
  bool follow_link = false;  // the program opens it through a link its owner made
};

// One thing that makes a folder untrusted.
struct UntrustedPath {
  std::string path;
  std::string why;   // who besides the trusted ones may change it, e.g. "o grupo staff (gid 50)
                     // pode gravar nela (modo 0775)", "BUILTIN\Users (S-1-5-32-545) pode gravar nela"
  std::string mend;  // the command that mends it, e.g. "chmod g-w \"/opt/q\"", "icacls ..."
  // The file named in the folder that this is, or the file its link leads to; "" for a folder or
  // a link on the way.
  std::string file;
};

// The folder `dir` (absolute, with or without its trailing separator) reached and judged.
struct JudgedFolder {
  HeldFolder folder;  // held, when the walk reached a folder
  // Everything that makes the folder, its way and the files named in it untrusted; empty when
  // they are trusted. What of the way was there is judged also when the folder was not reached.
  std::vector<UntrustedPath> untrusted;
  // When no folder is held: why ("não existe", "não é uma pasta", "links demais").
  std::string unreached;
};
JudgedFolder OpenJudgedFolder(const std::string& dir, const std::vector<TrustedFileName>& files);

// OpenJudgedFolder's judgement alone.
std::vector<UntrustedPath> FindUntrustedPaths(const std::string& dir,
                                              const std::vector<TrustedFileName>& files);

// Who besides the trusted accounts may read the file at `path`: `why` names them ("o grupo staff
// (gid 50) ..." by its mode on Linux, the accounts its DACL lets read it on Windows) and `mend`
// gives the command that leaves it to the trusted ones (chmod, icacls); nothing when no one else
// may, or when the file is not there.
std::optional<UntrustedPath> OthersMayRead(const std::string& path);

// The account the service runs as, as the service manager names it ("LocalSystem", ".\quirada",
// "NT SERVICE\SrvQuirada"), told by the program at start, before it writes any file. On Windows it
// is trusted with SYSTEM and the Administrators, and the files the program creates are made its too
// (file_io.h). On Linux it plays no part (root and this process's user are the trusted ones). Empty,
// as before it is told: the system's own account.
void SetServiceAccount(const std::string& account);

// Who may write the program's folder and files, for a message: "root e o usuário do programa" on
// Linux, "SYSTEM, os Administradores, o TrustedInstaller e a conta do serviço" on Windows.
std::string TrustedWriters();

// The rule above and why it holds, as one sentence of a message ("Só root e o usuário do programa
// podem gravar ...").
std::string TrustRule();

// For a file this process could not open: when another user owns it, "o arquivo "<path>" pertence
// a <owner>, e o programa roda como <user>: corrija com chown <user> "<path>""; "" when it is this
// user's, is not there or its owner cannot be told (and always on Windows, where an administrator
// may open what others own).
std::string ForeignOwnerHint(const std::string& path);

}  // namespace quirada
