// Build tool: turns the reviewable text form of the diagnosis database into the tree file the
// program loads.  ddbgen <source.txt> <output.ddb>
#include "analysis/DiagnosisSource.h"
#include "core/MVarArray.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ddbgen <source.txt> <output.ddb>\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "ddbgen: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    MVarArray database;
    DiagnosisSourceError error;
    if (!ParseDiagnosisSource(text, database, error)) {
        std::fprintf(stderr, "%s:%d: error: %s\n", argv[1], error.line, error.message.c_str());
        return 1;
    }
    if (!database.SaveToFile(MString(std::string(argv[2])))) {
        std::fprintf(stderr, "ddbgen: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
