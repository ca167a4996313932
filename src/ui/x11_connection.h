#pragma once

#ifdef CASTMILL_WITH_XCB
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <QGuiApplication>

namespace velora::st {

// The application's X connection; null on any other platform. The offscreen platform
// answers the X11 interface too, without a connection of its own to use.
inline xcb_connection_t* x11_connection() {
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

}  // namespace velora::st
#endif
