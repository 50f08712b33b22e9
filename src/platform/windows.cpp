// Windows: thread descriptions (Windows 10 1607 and later, looked up at run time so that older systems run with
// unnamed threads), the process environment block, the interpreter DLL's exports, the system timer period.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>  // first, in a block of its own: the headers below need its types

#include <timeapi.h>
#include <tlhelp32.h>

#include "platform/platform.hpp"

namespace tavro::platform {
namespace {

// Text crosses into the OS as UTF-16. A name cut in the middle of a UTF-8 sequence ends in U+FFFD.
std::wstring widen(std::string_view text) {
  std::wstring wide(text.size(), L'\0');  // never more UTF-16 units than UTF-8 bytes
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                    static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return wide;
}

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
  return text;
}

template <typename Fn>
Fn kernel32_function(const char* name) noexcept {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  return kernel32 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel32, name))) : nullptr;
}

void describe(HANDLE thread, const ThreadName& name) noexcept {
  using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set = kernel32_function<SetThreadDescriptionFn>("SetThreadDescription");
  if (!set || !thread) return;
  wchar_t wide[kThreadNameMax + 1] = {};
  MultiByteToWideChar(CP_UTF8, 0, name.text, -1, wide, kThreadNameMax + 1);
  wide[kThreadNameMax] = L'\0';
  set(thread, wide);
}

}  // namespace

void name_current_thread(const ThreadName& name) noexcept { describe(GetCurrentThread(), name); }

void name_thread(std::thread& t, const ThreadName& name) noexcept {
#if defined(WIN_PTHREADS_H)
  describe(static_cast<HANDLE>(pthread_gethandle(t.native_handle())), name);  // libstdc++ over winpthreads
#else
  describe(static_cast<HANDLE>(t.native_handle()), name);  // MSVC's and libc++'s threads are Win32 handles
#endif
}

std::vector<std::string> thread_names() {
  using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  static const auto get = kernel32_function<GetThreadDescriptionFn>("GetThreadDescription");
  std::vector<std::string> names;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return names;
  const DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != self) continue;
    std::string name;
    const HANDLE thread = get ? OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID) : nullptr;
    if (thread) {
      PWSTR description = nullptr;
      if (SUCCEEDED(get(thread, &description)) && description) {
        name = narrow(description);
        LocalFree(description);
      }
      CloseHandle(thread);
    }
    names.push_back(std::move(name));
  }
  CloseHandle(snapshot);
  return names;
}

std::optional<std::string> environment(const char* name) {
  const std::wstring wide_name = widen(name);
  std::wstring value(64, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();  // set, but empty
    }
    if (n < value.size()) return narrow(std::wstring_view(value.data(), n));
    value.resize(n);  // too small: n is the size needed, terminator included
  }
}

bool set_environment(const char* name, const char* value) noexcept {
  try {
    const std::wstring wide_value = value ? widen(value) : std::wstring();
    return SetEnvironmentVariableW(widen(name).c_str(), value ? wide_value.c_str() : nullptr) != 0;
  } catch (...) {
    return false;
  }
}

// The anchor's module is the interpreter's DLL (python3XY.dll): the stable ABI's python3.dll only forwards to it,
// so an imported function's address lies there.
void* interpreter_symbol(const void* anchor, const char* name) noexcept {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(anchor), &module)) {
    return nullptr;
  }
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

void park_thread_forever() noexcept {
  for (;;) Sleep(INFINITE);
}

// The period is process-wide (Windows 10 2004 and later; system-wide before): requested only while a scope lives.
FineTimers::FineTimers() noexcept { saved_ = timeBeginPeriod(1) == TIMERR_NOERROR ? 1 : -1; }

FineTimers::~FineTimers() {
  if (saved_ == 1) timeEndPeriod(1);
}

}  // namespace tavro::platform
