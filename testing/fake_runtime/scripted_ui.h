#pragma once

// The stand-in runtime's scripted user interface. With QUARVELIN_UI_SCRIPT naming a script file,
// the runtime plays the interface's role once the program's first frame is up: it sends the
// script's method calls, waits for answers and events, pokes the window and the program's
// exports, writes what came back to QUARVELIN_UI_TRANSCRIPT (standard output when unset), and
// closes the window. The script language is described in scripted_ui.cpp.

#include <windows.h>

#include "flutter_desktop.h"

namespace quarvelin::fake {

// True exactly once per process, and only when a script is configured.
bool ClaimUiScript();

// Plays the script against `engine`, whose view window is `view`, then posts WM_CLOSE to the
// view's top-level window. Main thread; pumps the thread's messages while it waits.
void PlayUiScript(HWND view, FlutterDesktopEngineRef engine);

}  // namespace quarvelin::fake
