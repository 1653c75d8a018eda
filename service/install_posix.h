// Installing the service on Linux: the systemd unit "SrvQuirada.service".
//
// The unit is written from the template service/SrvQuirada.service.in (the one copy of the unit's
// text; packages install the same) into the unit folder: $QUIRADA_SYSTEMD_DIR when set and not
// empty, else /etc/systemd/system/. When systemd is running and the folder is the system's own,
// "systemctl daemon-reload" and "systemctl enable SrvQuirada" follow the install, "systemctl
// disable SrvQuirada" comes before the removal and "systemctl daemon-reload" after it.
//
// An executable in a folder the unit's sandbox hides from the service (HiddenExecutableFolder) is
// refused before anything is written: the service could never start. When the package
// quirada-contabil's own unit is installed (PackageUnitPath), a successful install adds a warning
// line to `out` (not with `silent`): the unit written to /etc/systemd/system/ overrides it.
#pragma once

#include <string>

#include "service/install.h"

namespace quirada {

// The folder of the unit file, ending with '/'.
std::string ServiceUnitDir();

// The unit's text for an executable at `executable_path` (an absolute path): ExecStart names it
// and ReadWritePaths its folder, the one the sandboxed service may write to besides /tmp. For a
// named instance ExecStart adds "--pasta <folder> --instancia <name>" and ReadWritePaths names the
// instance's folder instead. Paths
// are quoted when they hold a blank, '%' is doubled and, in ExecStart, '$' too, so the service
// receives each path as it is written. A path that systemd would not load or run (bytes that are
// not UTF-8, a control character: the sentence of CaminhoRecusado; quotes or a backslash) is
// refused with an Exception, so "/INSTALL" never reports success for a unit that cannot start.
std::string ServiceUnitText(const std::string& executable_path,
                            const TInstanciaServico& instancia = {});

// The folder of `executable_path` (an absolute path) when it lies in a folder that the unit's
// sandbox hides from the service: /home, /root and /run/user (ProtectHome=), /tmp and /var/tmp
// (PrivateTmp=); empty when the service sees it. The path is resolved first (links followed, "."
// and ".." taken out; the part that does not exist is taken as written) and compared by whole
// components: /homeless is not in /home. The folder returned is the resolved one.
std::string HiddenExecutableFolder(const std::string& executable_path);

// The unit file the package quirada-contabil installed, when there is one: SrvQuirada.service in
// $QUIRADA_PACKAGE_UNIT_DIR when that is set and not empty, else in /lib/systemd/system/ or
// /usr/lib/systemd/system/. Empty when none exists. PackageUnitPath("SrvQuirada@.service") finds
// the package's template of named instances the same way.
std::string PackageUnitPath(const std::string& unit = "SrvQuirada.service");

// The folder a unit's ExecStart gives with "--pasta" ("%i" read as `nome`, "%%" as "%", "$$" as
// "$"), ending
// with '/'; for a unit without it, the executable's folder. Empty when the text has no ExecStart.
std::string UnitFolder(const std::string& unit_text, const std::string& nome);

}  // namespace quirada
