#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("Loomcast");
    std::printf("Loomcast %s\n", LOOMCAST_VERSION);
    return 0;
}
