#include "native/windows/process.h"
#include "native/new_file.h"
#include "native/windows/path.h"

namespace {

// Any character the key's grammar lacks would do: it ends the number.
constexpr char not_a_key_character = '?';
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The console handler runs on a thread of its own: it holds this lock, as
// the run does while the new file's name changes or it is put in place.
CRITICAL_SECTION interrupt_lock;

// Once, however many inputs a process opens.
void prepare_process()
{
    static bool prepared = false;
    if (prepared) {
        return;
    }
    prepared = true;
    keep_dialogs_away();
    InitializeCriticalSection(&interrupt_lock);
    SetConsoleCtrlHandler(remove_and_end, TRUE);
}

} // namespace

// Windows sends a log-off to services, for any user's: a program that a
// service runs goes on.
bool ends_on_console_event(DWORD event)
{
    return event != CTRL_LOGOFF_EVENT;
}

// Holds the lock to the end, so that the file is not put in place after
// all.
BOOL WINAPI remove_and_end(DWORD event)
{
    if (!ends_on_console_event(event)) {
        return FALSE;
    }
    hold_interrupts();
    remove_output_in_flight();
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// XP has no GetErrorMode: setting a mode returns the one before.
void keep_dialogs_away()
{
    const UINT inherited = SetErrorMode(0);
    SetErrorMode(inherited | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

void hold_interrupts()
{
    EnterCriticalSection(&interrupt_lock);
}

void release_interrupts()
{
    LeaveCriticalSection(&interrupt_lock);
}

// Shared as fopen shares a file, and for deleting too, so that a run that
// replaces this name is not refused. A directory does not open without
// FILE_FLAG_BACKUP_SEMANTICS.
input open_input(const std::wstring& path)
{
    prepare_process();
    input in;
    const HANDLE file = CreateFileW(extended_length_path(path).c_str(), GENERIC_READ, share_all,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return in;
    }
    BY_HANDLE_FILE_INFORMATION information;
    in.facts.device = GetFileType(file) == FILE_TYPE_CHAR ? reserved_device_name(path) : L"";
    in.facts.is_file = GetFileInformationByHandle(file, &information) != FALSE;
    if (in.facts.is_file) {
        in.facts.volume = information.dwVolumeSerialNumber;
        in.facts.index_high = information.nFileIndexHigh;
        in.facts.index_low = information.nFileIndexLow;
        in.facts.read_only = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    }
    in.stream = stream_on(file, "rb");
    return in;
}

std::string narrow_key(const wchar_t* text)
{
    std::string key;
    for (; *text != L'\0'; ++text) {
        key += *text < 0x80 ? static_cast<char>(*text) : not_a_key_character;
    }
    return key;
}
