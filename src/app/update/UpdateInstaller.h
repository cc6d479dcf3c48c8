#pragma once
// Installing a verified package and starting the new version.
//
// Package format: a gzip-compressed tar archive of the application folder's contents, paths
// relative to that folder (made with `tar -czf Loomcast-1.3.tar.gz -C Loomcast .`). The folder
// holds the update configuration at its top and the executable inside.
#include "common/Result.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace lc::update {

struct InstallLayout {
    QString folder;     // the installed application folder, replaced as a whole
    QString executable; // the executable's path relative to it, e.g. "bin/loomcast"
};

// The application folder of a running executable: the folder holding the update
// configuration, i.e. the executable's folder, or its parent when the executable sits in
// "bin". None when the configuration lives elsewhere (a system-wide installation, which the
// package manager updates) or when the folder is a shared prefix such as /usr or the home
// folder, which must never be swapped out.
std::optional<InstallLayout> installLayoutFor(const QString& executablePath, const QString& configPath);

// Unpacks the package beside the folder, checks that it holds the executable, then swaps the
// two folders in one step (renameat2 RENAME_EXCHANGE; two renames where the file system cannot
// exchange) and removes the old version. On any failure the installed folder is left as it was.
Result<void> installPackage(const QString& packagePath, const InstallLayout& layout);

// Starts `executable` with `arguments` once the process `pid` has ended, detached from us.
bool relaunchAfterExit(qint64 pid, const QString& executable, const QStringList& arguments);

} // namespace lc::update
