// formgen DESCRIPTION ICON: writes the stored form description and the icon file.
// The results are committed under src/app/resources; run the `formgen_update`
// target after changing what they hold.
#include <cstdio>
#include <fstream>
#include <string>

#include "main_form.h"

namespace {

bool WriteFile(const char* path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::fprintf(stderr, "formgen: cannot write %s\n", path);
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: formgen DESCRIPTION ICON\n");
    return 2;
  }
  const std::string icon = tobrine::formgen::BuildIcon();
  const std::string form = SerializeFormDescription(tobrine::formgen::BuildMainForm(icon));
  return WriteFile(argv[1], form) && WriteFile(argv[2], icon) ? 0 : 1;
}
