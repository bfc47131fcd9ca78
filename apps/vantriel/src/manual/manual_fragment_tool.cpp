// Writes the technician's sections of one manual as an HTML fragment, at build time:
//   vantriel_manual_fragment LANGUAGE MANUAL.md VERSION OUTPUT.html
// Exits 1, naming what is wrong, when the manual cannot be read or lacks a section.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "manual/manual_fragment.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: vantriel_manual_fragment es|en MANUAL.md VERSION OUTPUT.html\n");
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "vantriel_manual_fragment: cannot read %s\n", argv[2]);
    return 1;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto fragment = vantriel::technician_manual_fragment(argv[1], text, argv[3]);
  if (!fragment) {
    std::fprintf(stderr, "vantriel_manual_fragment: %s: %s\n", argv[2], fragment.error().c_str());
    return 1;
  }
  // Left alone when unchanged, so that what embeds it is not built again.
  std::ifstream old(argv[4], std::ios::binary);
  if (old && std::string((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>()) ==
                 *fragment) {
    return 0;
  }
  old.close();
  std::ofstream out(argv[4], std::ios::binary | std::ios::trunc);
  out << *fragment;
  out.close();
  if (!out) {
    std::fprintf(stderr, "vantriel_manual_fragment: cannot write %s\n", argv[4]);
    return 1;
  }
  return 0;
}
