#pragma once
// Codes of the updater's own errors (domain "Loomcast"); the message is the one line shown.
namespace lc::update {

enum : int {
    kErrorNotConfigured = 20,
    kErrorFeedUnreachable = 21,
    kErrorFeedMalformed = 22,
    kErrorFeedEmpty = 23,
    kErrorDowngrade = 24,
    kErrorUnsigned = 25,
    kErrorBadSignature = 26,
    kErrorTruncated = 27,
    kErrorDownloadFailed = 28,
    kErrorInsecureUrl = 29,
    kErrorInstallFailed = 30,
};

} // namespace lc::update
