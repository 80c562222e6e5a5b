// The log window of the Windows build: a read-only rich-text log of
// timestamped, coloured lines above a progress bar, with one menu command
// that copies the log to the clipboard.
//
// Two threads. The UI thread (the process's first) creates the window and
// serves its messages until it is destroyed. The worker thread runs the
// command-line main and every action; it changes the controls only by
// synchronous messages (SendMessage, which the UI thread handles before it
// returns) and asks the window to close with a posted WM_CLOSE, four
// seconds after the main has returned, so that the last lines can be read.
// The window handles are written by the UI thread before the worker starts
// and only read afterwards.
//
// When the window cannot be created (no desktop: a service, a headless
// session) the main runs on the first thread without it; the console
// output, the log capture and the exit status are the same either way.
#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include <process.h>
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include "platform/windows_internal.h"

namespace {

constexpr wchar_t WINDOW_CLASS[] = L"SimpleWin32App";
constexpr wchar_t WINDOW_TITLE[] = L"Please wait...";
constexpr int WINDOW_WIDTH = 800;
constexpr int WINDOW_HEIGHT = 600;
constexpr UINT COPY_LOG_COMMAND = 40001;
constexpr wchar_t COPY_LOG_TEXT[] = L"Copy log to clipboard";
constexpr int PROGRESS_ID = 1002;
constexpr int LOG_ID = 1003;
constexpr int PROGRESS_HEIGHT = 20;
constexpr int LOG_TEXT_LIMIT = 8192;
// The window's timer: it keeps the message loop ticking; its ticks do nothing.
constexpr UINT_PTR TIMER_ID = 2001;
constexpr UINT TIMER_MS = 10;
// How long the log stays readable after the main has returned.
constexpr DWORD CLOSE_DELAY_MS = 4000;

HWND main_window = nullptr;
HWND log_control = nullptr;
HWND progress_control = nullptr;
// The last position sent to the progress bar (worker thread only): a
// transfer reports progress thousands of times, mostly unchanged.
int progress_sent = -1;

struct worker_record {
    int argc;
    char** argv;
    int (*run)(int, char**);
};
std::atomic<bool> worker_done{false};
std::atomic<int> worker_status{0};

unsigned __stdcall worker_main(void* data) {
    const worker_record* record = static_cast<const worker_record*>(data);
    const int status = record->run(record->argc, record->argv);
    std::fflush(stdout);
    std::fflush(stderr);
    worker_status.store(status);
    worker_done.store(true);
    Sleep(CLOSE_DELAY_MS);
    PostMessageW(main_window, WM_CLOSE, 0, 0);
    return 0;
}

// Hands `bytes` to the open clipboard in movable global memory.
void put_on_clipboard(UINT format, const void* bytes, std::size_t size) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
    if (memory == nullptr) return;
    void* target = GlobalLock(memory);
    if (target == nullptr) {
        GlobalFree(memory);
        return;
    }
    std::memcpy(target, bytes, size);
    GlobalUnlock(memory);
    if (SetClipboardData(format, memory) == nullptr) GlobalFree(memory);  // the clipboard did not take it
}

// Copies the whole log (timestamped lines, newest first) to the clipboard:
// as text in the process's 8-bit code page, and as Unicode text so that
// characters outside that code page survive. An empty log, a clipboard that
// cannot be opened and a lack of memory skip the copy silently.
void copy_log(HWND window) {
    const LRESULT length = SendMessageA(log_control, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) return;
    try {
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        SendMessageA(log_control, WM_GETTEXT, static_cast<WPARAM>(text.size()), reinterpret_cast<LPARAM>(text.data()));
        const LRESULT wide_length = SendMessageW(log_control, WM_GETTEXTLENGTH, 0, 0);
        std::wstring wide(static_cast<std::size_t>(wide_length > 0 ? wide_length : 0) + 1, L'\0');
        SendMessageW(log_control, WM_GETTEXT, static_cast<WPARAM>(wide.size()), reinterpret_cast<LPARAM>(wide.data()));
        if (!OpenClipboard(window)) return;
        EmptyClipboard();
        put_on_clipboard(CF_TEXT, text.c_str(), std::strlen(text.c_str()) + 1);
        put_on_clipboard(CF_UNICODETEXT, wide.c_str(), (wcslen(wide.c_str()) + 1) * sizeof(wchar_t));
        CloseClipboard();
    } catch (const std::bad_alloc&) {}
}

void place_controls(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    MoveWindow(progress_control, 0, height - PROGRESS_HEIGHT, width, PROGRESS_HEIGHT, TRUE);
    MoveWindow(log_control, 0, 0, width, height - PROGRESS_HEIGHT, TRUE);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE: {
            RECT client{};
            GetClientRect(window, &client);
            const int width = client.right - client.left;
            const int height = client.bottom - client.top;
            HINSTANCE instance = reinterpret_cast<const CREATESTRUCTW*>(lparam)->hInstance;
            progress_control = CreateWindowExW(
                0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 0, height - PROGRESS_HEIGHT, width, PROGRESS_HEIGHT,
                window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(PROGRESS_ID)), instance, nullptr);
            SendMessageW(progress_control, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
            SendMessageW(progress_control, PBM_SETPOS, 0, 0);
            LoadLibraryW(L"Msftedit.dll");
            log_control =
                CreateWindowExW(WS_EX_CLIENTEDGE, L"RICHEDIT50W", L"",
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 0, 0,
                                width, height - PROGRESS_HEIGHT, window,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(LOG_ID)), instance, nullptr);
            SendMessageW(log_control, EM_LIMITTEXT, LOG_TEXT_LIMIT, 0);
            SetTimer(window, TIMER_ID, TIMER_MS, nullptr);
            return 0;
        }
        case WM_SIZE:
            if (log_control == nullptr && progress_control == nullptr) return 0;
            place_controls(window);
            return 0;
        case WM_ERASEBKGND: return 1;  // the controls cover the whole client area
        case WM_COMMAND:
            if (LOWORD(wparam) == COPY_LOG_COMMAND && log_control != nullptr) copy_log(window);
            return 0;
        case WM_TIMER: return 0;
        case WM_DESTROY:
            KillTimer(window, TIMER_ID);
            PostQuitMessage(0);
            return 0;
        default: return DefWindowProcW(window, message, wparam, lparam);
    }
}

// The control holds at most LOG_TEXT_LIMIT characters. Rather than refuse
// the newest lines once it is full, the oldest lines (at the bottom) make
// room for them.
void make_room(std::size_t needed) {
    GETTEXTLENGTHEX query{GTL_NUMCHARS | GTL_PRECISE, 1200};
    const LRESULT length = SendMessageW(log_control, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&query), 0);
    const LRESULT limit = LOG_TEXT_LIMIT;
    const LRESULT need = static_cast<LRESULT>(needed);
    if (length < 0 || length + need <= limit) return;
    const LRESULT keep = need >= limit ? 0 : limit - need;
    const LRESULT line = SendMessageW(log_control, EM_EXLINEFROMCHAR, 0, keep);
    LRESULT cut = SendMessageW(log_control, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
    if (cut < 0 || cut > keep) cut = keep;
    SendMessageW(log_control, EM_SETSEL, static_cast<WPARAM>(cut), -1);
    SendMessageW(log_control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

}  // namespace

bool platform_log_window_shown() { return main_window != nullptr && log_control != nullptr; }

// The line goes in at character 0 in its colour: the newest line stands
// first and older lines move down; the control is not scrolled.
void platform_log_window_line(std::uint32_t color, const std::string& line) {
    if (log_control == nullptr) return;
    const std::wstring text = platform_widen(line.c_str());
    make_room(text.size());
    SendMessageW(log_control, EM_SETSEL, 0, 0);
    CHARFORMAT2W format{};
    format.cbSize = sizeof format;
    format.dwMask = CFM_COLOR;
    format.dwEffects = 0;
    format.crTextColor = static_cast<COLORREF>(color);
    SendMessageW(log_control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    SendMessageW(log_control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void platform_log_window_progress(int percent) {
    if (log_control == nullptr) return;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    if (percent == progress_sent) return;
    progress_sent = percent;
    SendMessageW(GetDlgItem(GetParent(log_control), PROGRESS_ID), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void platform_log_window_pause(unsigned milliseconds) {
    if (platform_log_window_shown()) Sleep(milliseconds);
}

int platform_log_window_main(int argc, char** argv, int (*run)(int, char**)) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = WINDOW_CLASS;
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, WINDOW_CLASS, WINDOW_TITLE, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT,
                                  CW_USEDEFAULT, WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        log_control = nullptr;
        progress_control = nullptr;
        return run(argc, argv);
    }
    main_window = window;
    if (HMENU menu = CreateMenu()) {
        AppendMenuW(menu, MF_STRING, COPY_LOG_COMMAND, COPY_LOG_TEXT);
        SetMenu(window, menu);
    }

    static worker_record record;
    record = worker_record{argc, argv, run};
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, worker_main, &record, 0, nullptr);
    if (thread == 0) {
        main_window = nullptr;
        log_control = nullptr;
        DestroyWindow(window);
        return run(argc, argv);
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    ShowWindow(window, SW_SHOWDEFAULT);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (worker_done.load()) return worker_status.load();
    // Closed by the user while the run went on: it ends like a hang-up.
    platform_end_interrupted(PLATFORM_STATUS_HANGUP);
}
