#include "export/ExportMode.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("Loomcast");
    if (const auto folder = lc::exportFolderArgument(app.arguments())) return lc::runExportMode(*folder);
    std::printf("Loomcast %s\n", LOOMCAST_VERSION);
    return 0;
}
