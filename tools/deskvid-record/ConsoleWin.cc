// deskvid-record's Windows side: Ctrl-C and the console's keys, the status
// line on a console that takes terminal sequences, files by their UTF-8
// names, and where deskvid.dll is looked for.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <filesystem>
#include <system_error>

#include "Console.h"
#include "Library.h"
#include "Output.h"
#include "port/Utf.h"

namespace record {

namespace {

std::atomic<bool> g_fStopRequested{false};
HANDLE g_hWake = nullptr;  // set when a stop is asked for

// Runs on a thread of the system's own: it only records the request.
BOOL WINAPI OnConsoleEvent(DWORD dwEvent) {
    if (dwEvent == CTRL_C_EVENT || dwEvent == CTRL_BREAK_EVENT || dwEvent == CTRL_CLOSE_EVENT) {
        g_fStopRequested = true;
        if (g_hWake != nullptr) {
            SetEvent(g_hWake);
        }
        return TRUE;
    }
    return FALSE;
}

std::wstring Wide(const std::string& str) {
    const std::u16string w = port::Utf8ToUtf16(str);
    return std::wstring(w.begin(), w.end());
}

std::filesystem::path PathOf(const std::string& str) {
    return std::filesystem::path(Wide(str));
}

}  // namespace

struct CUserRequests::CRep {
    HANDLE hInput = nullptr;  // the console's input while keys are taken
    HRESULT hrCom = E_FAIL;
};

CUserRequests::CUserRequests() : m_pRep(new CRep) {
    m_pRep->hrCom = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    g_hWake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

CUserRequests::~CUserRequests() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    if (g_hWake != nullptr) {
        CloseHandle(g_hWake);
        g_hWake = nullptr;
    }
    if (SUCCEEDED(m_pRep->hrCom)) {
        CoUninitialize();
    }
}

void CUserRequests::BeginKeys() {
    HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    if (hInput != nullptr && hInput != INVALID_HANDLE_VALUE && GetConsoleMode(hInput, &dwMode)) {
        m_pRep->hInput = hInput;
    }
}

void CUserRequests::EndKeys() {
    m_pRep->hInput = nullptr;
}

void CUserRequests::Wait(double dSeconds, bool bPaused, std::vector<bool>* prgfPause,
                         bool* pfStop) {
    HANDLE rgh[2] = {g_hWake, m_pRep->hInput};
    const DWORD nHandles = m_pRep->hInput != nullptr ? 2 : 1;
    if (!g_fStopRequested && g_hWake != nullptr) {
        WaitForMultipleObjects(nHandles, rgh, FALSE, static_cast<DWORD>(dSeconds * 1000));
    }
    // Key presses (key-down events) waiting at the console: each 'p' turns
    // pausing over, 'q' stops; the rest (mouse, focus, releases) is dropped.
    DWORD nEvents = 0;
    while (m_pRep->hInput != nullptr && GetNumberOfConsoleInputEvents(m_pRep->hInput, &nEvents) &&
           nEvents > 0) {
        INPUT_RECORD record;
        DWORD nRead = 0;
        if (!ReadConsoleInputW(m_pRep->hInput, &record, 1, &nRead) || nRead == 0) {
            break;
        }
        if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
            continue;
        }
        const wchar_t ch = record.Event.KeyEvent.uChar.UnicodeChar;
        if (ch == L'p' || ch == L'P') {
            prgfPause->push_back(prgfPause->empty() ? !bPaused : !prgfPause->back());
        } else if (ch == L'q' || ch == L'Q') {
            g_fStopRequested = true;
        }
    }
    *pfStop = g_fStopRequested;
}

bool StatusLineAvailable() {
    HANDLE hError = GetStdHandle(STD_ERROR_HANDLE);
    DWORD dwMode = 0;
    return hError != nullptr && GetConsoleMode(hError, &dwMode) &&
           SetConsoleMode(hError, dwMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

uint64_t FileSize(const std::string& strFile) {
    std::error_code ec;
    const uintmax_t cb = std::filesystem::file_size(PathOf(strFile), ec);
    return ec ? 0 : static_cast<uint64_t>(cb);
}

bool FileExists(const std::string& strFile) {
    return GetFileAttributesW(Wide(strFile).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsRegularFile(const std::string& strFile) {
    const DWORD dw = GetFileAttributesW(Wide(strFile).c_str());
    return dw != INVALID_FILE_ATTRIBUTES &&
           (dw &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool RemoveFile(const std::string& strFile) {
    return DeleteFileW(Wide(strFile).c_str()) != 0;
}

// A device name (NUL, CON) holds nothing to lose.
bool OutputIsTaken(const std::string& strFile) {
    wchar_t szFull[MAX_PATH];
    const DWORD cch = GetFullPathNameW(Wide(strFile).c_str(), MAX_PATH, szFull, nullptr);
    if (cch > 4 && cch < MAX_PATH && std::wstring(szFull).compare(0, 4, L"\\\\.\\") == 0) {
        return false;
    }
    return FileExists(strFile);
}

bool MoveAside(const std::string& strFile, std::string* pstrMoved) {
    if (!IsRegularFile(strFile)) {
        return false;
    }
    for (int i = 0; i < 1000; ++i) {
        const std::string strTo =
            i == 0 ? strFile + ".partial" : strFile + "." + std::to_string(i) + ".partial";
        // Without MOVEFILE_REPLACE_EXISTING: never over another file.
        if (MoveFileExW(Wide(strFile).c_str(), Wide(strTo).c_str(), 0)) {
            *pstrMoved = strTo;
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    return false;
}

bool LoadAt(hostlib::CDeskVidLibrary* pLibrary, const std::string& strPath,
            std::string* pstrError) {
    return pLibrary->Load(strPath, pstrError);
}

std::vector<std::string> DefaultLibraryCandidates(const std::string& strExeDir) {
    std::vector<std::string> rgstr;
    if (!strExeDir.empty()) {
        rgstr.push_back(strExeDir + "\\deskvid.dll");
        rgstr.push_back(strExeDir + "\\..\\plugin\\deskvid.dll");
    }
    rgstr.push_back("deskvid.dll");
    return rgstr;
}

std::string ExecutableDir() {
    wchar_t sz[32768];
    const DWORD cch = GetModuleFileNameW(nullptr, sz, sizeof(sz) / sizeof(sz[0]));
    if (cch == 0 || cch >= sizeof(sz) / sizeof(sz[0])) {
        return "";
    }
    std::u16string str(reinterpret_cast<const char16_t*>(sz), cch);
    const size_t iSlash = str.rfind(u'\\');
    return iSlash == std::u16string::npos ? "" : port::Utf16ToUtf8(str.substr(0, iSlash));
}

}  // namespace record
