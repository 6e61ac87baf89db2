// What formgen writes: this program's form description and its icon.
#pragma once

#include <string>

#include "runtime/form_description.h"

namespace tobrine::formgen {

// The icon in icon-file form: eight uncompressed images with AND masks.
std::string BuildIcon();

// MainForm and its five controls, carrying `icon` as the window's icon.
FormDescription BuildMainForm(std::string icon);

}  // namespace tobrine::formgen
