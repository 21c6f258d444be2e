// Writes the type stub of the module, derived from the functions' declarations, to the file
// named by the only argument.  Run at build time; the stub is installed beside the module.
#include <cstdio>
#include <fstream>

#include "declarations.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.pyi\n", argv[0]);
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << velmora::py::stub_text();
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
