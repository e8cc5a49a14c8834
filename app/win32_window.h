// The Windows shell: the main window, its window procedure and the about box.
// It turns messages into calls on the shared Controller and paints what the
// controller lists; every decision lives there. UI thread only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "app/controller.h"
#include "audio/stream.h"

namespace bleepforge::win32 {

// Posted by other threads (a stalled device, a finished export): the window
// runs the controller's queued calls. It carries nothing.
constexpr UINT WM_RUN_POSTED = WM_APP + 1;

// UTF-8 to UTF-16 and back, for the controller's texts and the W calls.
std::wstring utf16(std::string_view text);
std::string utf8(std::wstring_view text);

// Registers the main window class (name STR_CLASS, menu RES_MAIN, icons
// ICON_MAIN and ICON_SMALL) from `instance`'s resources. Result ignored, as
// registering twice in one process is harmless.
void register_main_window_class(HINSTANCE instance);

// Creates the 240 x 200 main window (title STR_TITLE, hidden until shown)
// whose commands play through `stream`, which must outlive the window.
// Returns nullptr when the window cannot be created.
HWND create_main_window(HINSTANCE instance, AudioStream& stream);

// The controller behind a window made by create_main_window; nullptr for any
// other window or after it was destroyed.
Controller* controller_of(HWND window);

// Runs the message loop with the RES_MAIN accelerators of `instance` until
// WM_QUIT; returns the quit code.
int run_message_loop(HINSTANCE instance);

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace bleepforge::win32
