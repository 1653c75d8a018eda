// The line "/INSTANCIAS" shows for an instance's last cycle, read from its folder's
// "QuiradaContabil.ciclo" as the cycle itself reaches its files: the folder judged and held first
// (service_folder.h), the file opened in it only as a regular file (never through a link, a FIFO
// or a device never waited on) and no more than its first 4 KiB read. A folder that is not trusted
// is said to be so, and none of its files is read.
#pragma once

#include <string>

namespace quirada {

// "<stamp> <summary>" as the cycle wrote it, "nenhum registrado" when there is no such file,
// "não lido: a pasta não é confiável ..." or "ilegível: <why>".
std::string UltimoCicloDaPasta(const std::string& pasta);

}  // namespace quirada
