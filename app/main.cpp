#include "app/Options.h"
#include "Version.h"

#include <cstdio>

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    const auto parsed = kalimor::parseOptions(args);
    if (const QString* error = std::get_if<QString>(&parsed)) {
        std::fprintf(stderr, "kalimor: %s\n", qPrintable(*error));
        return 2;
    }
    return 0;
}
