# Code without Win32 calls: built into both the Windows library and the native (sanitized) library.
set(VELMOR_PORTABLE_SOURCES
    config/software_registry.cpp
    install/channel_stamp.cpp
    install/progress_state.cpp
    install/progress_view.cpp
    net/pe_image.cpp
    net/proxy_rules.cpp
    net/retry.cpp
    net/url.cpp
    ui/layout.cpp
)

# Code that talks to Windows.
set(VELMOR_WINDOWS_SOURCES
    app/main_window.cpp
    app/window_accessible.cpp
    base/desktop_user.cpp
    base/dll_search.cpp
    base/held_file.cpp
    base/plain_entry.cpp
    base/sha256.cpp
    base/utf8.cpp
    config/registration.cpp
    install/failure_dialog.cpp
    install/install_log.cpp
    install/own_channel.cpp
    install/progress.cpp
    install/publisher.cpp
    install/staging_folder.cpp
    install/worker.cpp
    net/download.cpp
    net/proxy.cpp
    ui/dpi.cpp
    ui/paint.cpp
    ui/text.cpp
)
