// MainForm, the program's one window: the identifiers its controls are
// addressed by, and the form description stored with the program.
#pragma once

#include <cstdint>

#include "runtime/form_description.h"

namespace tobrine::window {

inline constexpr uint32_t kMainFormId = 0x52010001;
inline constexpr uint32_t kEditBox1 = 0x16010002;     // 编辑框1
inline constexpr uint32_t kLabel1 = 0x16010003;       // 标签1
inline constexpr uint32_t kReportList1 = 0x16010004;  // 超级列表框1
inline constexpr uint32_t kButton1 = 0x16010005;      // 按钮1
inline constexpr uint32_t kLabel2 = 0x160117CE;       // 标签2

// The description stored with the program, parsed once on first use (reported,
// ending the process, when it cannot be read).
const FormDescription& LoadStoredForm();

}  // namespace tobrine::window
