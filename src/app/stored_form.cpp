// The form description stored with the program, read once at start-up.
#include "app/form_description.h"
#include "platform/resources.h"
#include "runtime/fatal.h"

namespace tobrine::app {

FormDescription ParseFormDescriptionOrReport(std::string_view bytes) {
  std::optional<FormDescription> form = ParseFormDescription(bytes);
  if (!form) ReportRuntimeMessage("载入窗口模板数据段出错!", 0);
  return std::move(*form);
}

const FormDescription& LoadStoredForm() {
  static const FormDescription form = ParseFormDescriptionOrReport(platform::StoredFormBytes());
  return form;
}

}  // namespace tobrine::app
