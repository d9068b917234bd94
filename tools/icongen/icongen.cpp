// Makes the Windows icon of the program from its XPM picture: icongen <in.xpm> <out.ico>.
#include <fstream>
#include <iostream>
#include <iterator>

#include "icon.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: icongen <in.xpm> <out.ico>\n";
    return 2;
  }
  try {
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) throw icongen::Error(std::string("cannot read ") + argv[1]);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<std::uint8_t> ico = icongen::WriteIco4(icongen::ParseXpm(text));
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(ico.data()), static_cast<std::streamsize>(ico.size()));
    if (!out.flush()) throw icongen::Error(std::string("cannot write ") + argv[2]);
  } catch (const std::exception& e) {
    std::cerr << "icongen: " << argv[1] << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}
