// Move-only owners for Windows handles.
//
// Each kind of handle has a small traits struct that knows its invalid value
// and how to release it; UniqueHandle<Traits> owns one value of that kind and
// releases it exactly once. Handles are never copied: ownership moves, so a
// handle is closed by whichever object holds it last, on every exit path.
#pragma once

#include <windows.h>
#include <winsock2.h>
#include <utility>

namespace qv::win {

template <typename Traits>
class UniqueHandle {
public:
    using value_type = typename Traits::value_type;

    UniqueHandle() noexcept : h_(Traits::invalid()) {}
    explicit UniqueHandle(value_type h) noexcept : h_(h) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }

    value_type get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::invalid(); }
    bool valid() const noexcept { return h_ != Traits::invalid(); }

    value_type release() noexcept { return std::exchange(h_, Traits::invalid()); }
    void reset(value_type h = Traits::invalid()) noexcept {
        value_type old = std::exchange(h_, h);
        if (old != Traits::invalid()) Traits::close(old);
    }

private:
    value_type h_;
};

// Kernel objects from CreateFile and friends: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
    using value_type = HANDLE;
    static value_type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept { ::CloseHandle(h); }
};
// Events, mutexes, threads, processes: NULL means none.
struct KernelHandleTraits {
    using value_type = HANDLE;
    static value_type invalid() noexcept { return nullptr; }
    static void close(value_type h) noexcept { ::CloseHandle(h); }
};
struct FindHandleTraits {
    using value_type = HANDLE;
    static value_type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(value_type h) noexcept { ::FindClose(h); }
};
struct RegKeyTraits {
    using value_type = HKEY;
    static value_type invalid() noexcept { return nullptr; }
    static void close(value_type h) noexcept { ::RegCloseKey(h); }
};
struct SocketTraits {
    using value_type = SOCKET;
    static value_type invalid() noexcept { return INVALID_SOCKET; }
    static void close(value_type h) noexcept { ::closesocket(h); }
};
struct ModuleTraits {
    using value_type = HMODULE;
    static value_type invalid() noexcept { return nullptr; }
    static void close(value_type h) noexcept { ::FreeLibrary(h); }
};
// A device context obtained with GetDC must go back with ReleaseDC; one made
// with CreateCompatibleDC is deleted. Both kinds are covered.
struct CreatedDcTraits {
    using value_type = HDC;
    static value_type invalid() noexcept { return nullptr; }
    static void close(value_type h) noexcept { ::DeleteDC(h); }
};
struct GdiObjectTraits {
    using value_type = HGDIOBJ;
    static value_type invalid() noexcept { return nullptr; }
    static void close(value_type h) noexcept { ::DeleteObject(h); }
};
struct ServiceHandleTraits {
    using value_type = SC_HANDLE;
    static value_type invalid() noexcept { return nullptr; }
    static void close(value_type h) noexcept { ::CloseServiceHandle(h); }
};

using FileHandle = UniqueHandle<FileHandleTraits>;
using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
using RegKey = UniqueHandle<RegKeyTraits>;
using Socket = UniqueHandle<SocketTraits>;
using Module = UniqueHandle<ModuleTraits>;
using CreatedDc = UniqueHandle<CreatedDcTraits>;
using GdiObject = UniqueHandle<GdiObjectTraits>;
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;

// A window's or the screen's DC: released to its window, not deleted.
class WindowDc {
public:
    explicit WindowDc(HWND wnd) noexcept : wnd_(wnd), dc_(::GetDC(wnd)) {}
    ~WindowDc() { if (dc_) ::ReleaseDC(wnd_, dc_); }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const noexcept { return dc_; }
    explicit operator bool() const noexcept { return dc_ != nullptr; }

private:
    HWND wnd_;
    HDC dc_;
};

}  // namespace qv::win
