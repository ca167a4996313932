#include "ui/running_window.h"

#include <QGuiApplication>
#include <QWidget>

#include "base/logger.h"
#include "ui/x11_connection.h"

#ifdef CASTMILL_WITH_XCB
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace velora::st {

#ifdef CASTMILL_WITH_XCB

namespace {

constexpr const char* kMarkAtom = "_CASTMILL_SETUP_WINDOW";

template <typename Reply>
using Owned = std::unique_ptr<Reply, decltype(&std::free)>;

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    Owned<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, std::strlen(name), name),
                              nullptr),
        &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The values of a property of window as 32-bit items; empty when it is not set.
std::vector<uint32_t> property(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t name) {
    Owned<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection,
                               xcb_get_property(connection, 0, window, name, XCB_ATOM_ANY, 0, 4096),
                               nullptr),
        &std::free);
    if (!reply || reply->format != 32) return {};
    const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

xcb_screen_t* first_screen(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
}

// The top-level windows: the window manager's list, or the root's children without one.
std::vector<xcb_window_t> top_level_windows(xcb_connection_t* connection, xcb_window_t root) {
    std::vector<uint32_t> listed = property(connection, root, atom(connection, "_NET_CLIENT_LIST"));
    if (!listed.empty()) return {listed.begin(), listed.end()};
    Owned<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr), &std::free);
    if (!tree) return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
}

}  // namespace

void mark_running_window(QWidget& window) {
    xcb_connection_t* connection = x11_connection();
    if (!connection) return;
    const uint32_t mark = 1;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE,
                        static_cast<xcb_window_t>(window.winId()), atom(connection, kMarkAtom),
                        XCB_ATOM_CARDINAL, 32, 1, &mark);
    xcb_flush(connection);
}

bool raise_running_window() {
    xcb_connection_t* connection = x11_connection();
    if (!connection) return false;
    xcb_screen_t* screen = first_screen(connection);
    if (!screen) return false;
    const xcb_window_t root = screen->root;
    const xcb_atom_t mark = atom(connection, kMarkAtom);
    for (const xcb_window_t window : top_level_windows(connection, root)) {
        if (property(connection, window, mark).empty()) continue;
        if (!property(connection, root, atom(connection, "_NET_SUPPORTING_WM_CHECK")).empty()) {
            // The window manager raises, restores and focuses; source 2: the user asked for
            // it, so focus-stealing prevention lets it through.
            xcb_client_message_event_t event{};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = window;
            event.type = atom(connection, "_NET_ACTIVE_WINDOW");
            event.data.data32[0] = 2;
            event.data.data32[1] = XCB_CURRENT_TIME;
            xcb_send_event(
                connection, 0, root,
                XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                reinterpret_cast<const char*>(&event));
        } else {
            const uint32_t above = XCB_STACK_MODE_ABOVE;
            xcb_map_window(connection, window);
            xcb_configure_window(connection, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
            xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        }
        xcb_flush(connection);
        log_tagged(kLogInfo, "running window raised: %u", static_cast<unsigned>(window));
        return true;
    }
    return false;
}

#elif defined(_WIN32)

namespace {

// A window property, which other processes of the session can read.
constexpr const wchar_t* kMarkProperty = L"CastmillSetupWindow";

BOOL CALLBACK find_marked(HWND window, LPARAM found) {
    if (!GetPropW(window, kMarkProperty)) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

}  // namespace

void mark_running_window(QWidget& window) {
    SetPropW(reinterpret_cast<HWND>(window.winId()), kMarkProperty, reinterpret_cast<HANDLE>(1));
}

bool raise_running_window() {
    HWND window = nullptr;
    EnumWindows(find_marked, reinterpret_cast<LPARAM>(&window));
    if (!window) return false;
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    // The person just started this process, so it may hand the foreground on.
    const bool in_front = SetForegroundWindow(window) != FALSE;
    // A window that stays minimized (one of a higher integrity level refuses us) is not in
    // view: the message tells the person instead.
    if (!in_front && IsIconic(window)) return false;
    log_tagged(kLogInfo, "running window raised: %u",
               static_cast<unsigned>(reinterpret_cast<uintptr_t>(window)));
    return true;
}

#else

void mark_running_window(QWidget&) {}

bool raise_running_window() { return false; }

#endif

}  // namespace velora::st
