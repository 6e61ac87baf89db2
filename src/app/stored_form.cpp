// The form description stored with the program, read once at start-up.
#include "app/handlers.h"
#include "app/main_form.h"
#include "platform/resources.h"

namespace tobrine::app {

const FormDescription& LoadStoredForm() {
  static const FormDescription form =
      ParseFormDescriptionOrReport(platform::StoredFormBytes(), kEventHandlerCount);
  return form;
}

}  // namespace tobrine::app
