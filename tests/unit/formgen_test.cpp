// The committed description and icon are exactly what formgen writes today.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "main_form.h"
#include "platform/resources.h"
#include "window/main_form.h"

namespace tobrine::formgen {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Formgen, CommittedFilesMatchARegeneration) {
  const std::string icon = BuildIcon();
  const std::string form = SerializeFormDescription(BuildMainForm(icon));
  // Compare sizes first: a mismatch of 90 KB strings is unreadable.
  const std::string committed_icon = ReadFile(TOBRINE_ICON_FILE);
  const std::string committed_form = ReadFile(TOBRINE_FORM_FILE);
  EXPECT_EQ(icon.size(), 91782u);
  ASSERT_EQ(committed_icon.size(), icon.size());
  EXPECT_TRUE(committed_icon == icon) << "run the formgen_update target";
  ASSERT_EQ(committed_form.size(), form.size());
  EXPECT_TRUE(committed_form == form) << "run the formgen_update target";
  // And the program carries the committed bytes.
  EXPECT_TRUE(platform::StoredFormBytes() == committed_form);
}

}  // namespace
}  // namespace tobrine::formgen
