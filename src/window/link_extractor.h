// The one piece of work the program does: from the address in the edit box to
// the numbered package links in the result list.
#pragma once

namespace tobrine::window {

// The click handler of 按钮1: clears the list, fetches the page, collects the
// manifest addresses, fetches each manifest and appends a row per package link,
// then shows "获取完成！！". Runs on the GUI thread; the fetches dispatch window
// messages while they wait, so a second click runs a complete nested lookup.
void LinkExtractor();

}  // namespace tobrine::window
