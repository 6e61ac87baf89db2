// The form description stored with the program, read once at start-up.
#include "platform/resources.h"
#include "window/handlers.h"
#include "window/main_form.h"

namespace tobrine::window {

const FormDescription& LoadStoredForm() {
  static const FormDescription form =
      ParseFormDescriptionOrReport(platform::StoredFormBytes(), kEventHandlerCount);
  return form;
}

}  // namespace tobrine::window
