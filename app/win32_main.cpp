// bleepforge.exe: the entry function of the Windows program.
#include <windows.h>

#include "app/win32_window.h"
#include "audio/stream.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    // Streaming starts before any window exists and the render thread is
    // joined when `stream` goes out of scope, after the message loop.
    bleepforge::AudioStream stream(bleepforge::make_default_device());

    bleepforge::win32::register_main_window_class(instance);
    HWND window = bleepforge::win32::create_main_window(instance, stream);
    if (!window) return 0;
    ShowWindow(window, show);
    UpdateWindow(window);
    return bleepforge::win32::run_message_loop(instance);
}
