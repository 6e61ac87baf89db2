// A loaded MainForm for the window-layer tests, on the build's backend (real
// controls on Windows, headless ones on Linux): the stored description,
// optionally rebound, loaded before each test and closed after it, with the GUI
// thread's queue drained.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "platform/window_backend.h"
#include "runtime/window_events.h"
#include "runtime/window_registry.h"
#include "window/main_form.h"
#include "window_driver.h"

namespace tobrine::test {

inline UnitRecord& UnitOf(FormDescription& form, uint32_t id) {
  for (auto& u : form.windows.at(0).units)
    if (u.id == id) return u;
  ADD_FAILURE() << "no unit " << std::hex << id;
  static UnitRecord none;
  return none;
}

class LoadedMainForm : public testing::Test {
 protected:
  // Every handler call lands here: a copy of the record; the handler returns
  // `reply` when set and runs `during` first.
  static inline std::vector<DispatchRecord> calls;
  static inline std::optional<int32_t> reply;
  static inline std::function<void(const DispatchRecord&)> during;

  static void Recorder(DispatchRecord& r) {
    calls.push_back(r);
    if (during) during(r);
    if (reply) {
      r.resultGiven = 1;
      r.result = *reply;
    }
  }

  // The description to load; tests adjust the stored one.
  virtual FormDescription Form() { return window::LoadStoredForm(); }
  // The handler table: the recorder at every offset unless a test says otherwise.
  virtual std::vector<BoundHandler> Handlers() { return {&Recorder, &Recorder}; }

  void SetUp() override {
    calls.clear();
    reply.reset();
    during = nullptr;
    HoldKeys(0);
    DrainQueue();
    SetHandlerTable(Handlers());
    ASSERT_TRUE(LoadWindow(Form(), window::kMainFormId));
  }

  void TearDown() override {
    if (IsWindowLoaded(window::kMainFormId))
      platform::DestroyNative(LookupControl(window::kMainFormId, kWindowUnitId));
    ObserveLists(nullptr);
    DrainQueue();
  }

  static platform::NativeWindow Control(uint32_t id) {
    return LookupControl(window::kMainFormId, id);
  }
};

}  // namespace tobrine::test
