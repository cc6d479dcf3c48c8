#pragma once
// Installing a verified package into a portable folder and starting the new version.
//
// The portable folder is the only installation that replaces itself. It is ours provably:
// its top holds a marker file with the application id and a manifest naming every path it was
// installed with, and nothing else lies inside it. Anything else (a shared prefix, the home
// folder, a folder the user keeps other files in) is refused with one line and left untouched.
//
// Package format: "Loomcast-<version>-linux-x86_64.tar.gz" holding ONE top-level folder
// "Loomcast", itself a portable folder (marker, manifest, bin/loomcast, the update
// configuration). Nothing is ever removed recursively: an old version is taken apart by its
// own manifest, and whatever it did not list stays where it is.
//
// All functions block (file system, tar); call them off the main thread unless the process
// is ending.
#include "common/Result.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace lc::update {

inline constexpr const char* kApplicationId = "org.loomcast.Loomcast";
inline constexpr const char* kPortableMarker = "loomcast-portable.id";
inline constexpr const char* kPortableManifest = "loomcast-portable.manifest";
inline constexpr const char* kPortableTopFolder = "Loomcast";

struct InstallLayout {
    QString folder;     // the portable folder, replaced as a whole
    QString executable; // the executable's path relative to it, e.g. "bin/loomcast"
};

// The canonical path of `folder` when it is a portable folder of ours (symbolic links resolved
// first, then: not a system or shared folder, not the home folder or above it, the marker holds
// the application id, every entry inside is in the manifest); otherwise one line saying why.
Result<QString> checkOwnFolder(const QString& folder);

// The portable folder of a running executable (its folder, or the parent when it sits in
// "bin"), when that folder passes checkOwnFolder; none for every other installation, which
// its package manager or its builder updates.
std::optional<InstallLayout> portableLayoutFor(const QString& executablePath);

// A package unpacked and swapped in, the old version kept aside until commit() or rollback().
// Destroyed without either, it rolls back: an interrupted install leaves the old version.
class FolderSwap {
public:
    FolderSwap(FolderSwap&& other) noexcept;
    FolderSwap& operator=(FolderSwap&&) = delete;
    FolderSwap(const FolderSwap&) = delete;
    FolderSwap& operator=(const FolderSwap&) = delete;
    ~FolderSwap();

    // Unpacks the package beside the folder, checks it (one top-level "Loomcast" folder that
    // is a portable folder holding the executable), checks the installed folder once more, then
    // exchanges the two in one step (renameat2 RENAME_EXCHANGE; two renames where the file
    // system cannot exchange). On failure the installed folder is left as it was.
    static Result<FolderSwap> swapIn(const QString& packagePath, const InstallLayout& layout);

    // Keeps the new version and takes the old one apart by its manifest.
    void commit();
    // Puts the old version back and takes the new one apart.
    Result<void> rollback();

private:
    FolderSwap(QString folder, QString staging) : folder_(std::move(folder)), staging_(std::move(staging)) {}
    QString folder_;  // the installed folder's canonical path
    QString staging_; // private folder beside it; its "Loomcast" holds the other version
    bool done_ = false;
};

// swapIn() and commit(): for the end of the process, when nothing runs the old version.
Result<void> installPackage(const QString& packagePath, const InstallLayout& layout);

// Starts `executable` with `arguments` once the process `pid` has ended, detached from us.
bool relaunchAfterExit(qint64 pid, const QString& executable, const QStringList& arguments);

} // namespace lc::update
