#include "VideoCap.h"

#include <cstring>
#include <string_view>

#include <QLabel>
#include <QMessageBox>
#include <QWidget>

#include "ApplicationTitle.h"
#include "LiveSource.h"

namespace {

constexpr std::int32_t currentFrameStatus = 510; // a streaming capture's frame count
constexpr std::uint16_t previewRate = 40;         // milliseconds: 25 frames a second

CaptureWindow* CapWindow = nullptr;
QWidget* CapParent = nullptr;
std::string DriverName = "No Driver Found";
std::uint32_t FrameLimit = 0;
const std::string CaptureFileName = "video.avi";
QLabel* StatusLabel = nullptr;
FrameLimitNotification OnFrameLimit;

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The system's text-to-integer rules: decimal with an optional sign within the signed
// 32-bit range, or up to eight hexadecimal digits after $, x, X, 0x or 0X read as a
// 32-bit pattern.
bool textToInteger(std::string_view word, std::int32_t& value)
{
    std::string_view hex;
    if (!word.empty() && (word[0] == '$' || word[0] == 'x' || word[0] == 'X'))
        hex = word.substr(1);
    else if (word.size() >= 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
        hex = word.substr(2);
    if (hex.data() != nullptr) {
        if (hex.empty() || hex.size() > 8)
            return false;
        std::uint32_t pattern = 0;
        for (char c : hex) {
            if (!isHexDigit(c))
                return false;
            pattern = pattern << 4 | static_cast<std::uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        value = static_cast<std::int32_t>(pattern);
        return true;
    }

    bool negative = false;
    if (!word.empty() && (word[0] == '+' || word[0] == '-')) {
        negative = word[0] == '-';
        word.remove_prefix(1);
    }
    if (word.empty())
        return false;
    std::int64_t magnitude = 0;
    for (char c : word) {
        if (c < '0' || c > '9')
            return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > std::int64_t(1) << 31)
            return false;
    }
    const std::int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX)
        return false;
    value = static_cast<std::int32_t>(result);
    return true;
}

} // namespace

void CapSetParent(QWidget* panel) { CapParent = panel; }
void CapSetStatusLabel(QLabel* label) { StatusLabel = label; }
void CapSetFrameLimitEvent(FrameLimitNotification notification) { OnFrameLimit = std::move(notification); }
void CapSetFrameLimit(std::uint32_t count) { FrameLimit = count; }

CaptureWindow* capWindow() { return CapWindow; }
bool CapWaiting() { return platform::waitingOnSource(); }
const std::string& driverName() { return DriverName; }
std::uint32_t frameLimit() { return FrameLimit; }

bool CapCreate()
{
    if (!CapParent)
        return false;
    CapWindow = capCreateCaptureWindowA("VELKO", capture::windowChild | capture::windowVisible, 0, 0,
                                        CapParent->width(), CapParent->height(), CapParent, 0);
    if (!CapWindow || capSetCallbackOnStatus(CapWindow, nullptr) == 0 ||
        capSetCallbackOnStatus(CapWindow, CapStatusCallback) == 0) {
        CapDestroy();
        CapWindow = nullptr;
        return false;
    }

    int index = 0;
    while (index < 10 && !CapConnectDriver(index))
        ++index;
    if (!CapWindow)
        return false; // ended while a driver connected

    char name[80];
    char version[100];
    if (capGetDriverDescriptionA(static_cast<std::uint16_t>(index), name, sizeof name, version, sizeof version))
        DriverName = name;

    char fileName[256];
    std::strncpy(fileName, CaptureFileName.c_str(), sizeof fileName - 1);
    fileName[sizeof fileName - 1] = '\0';
    if (capFileSetCaptureFile(CapWindow, fileName) == 0) {
        QMessageBox box(QMessageBox::NoIcon, platform::applicationTitle(),
                        QString::fromStdString(DriverName) + ": Error in capFileSetCaptureFile", QMessageBox::Ok);
        box.exec();
    }
    return true;
}

bool CapConnectDriver(int index)
{
    if (!CapWindow)
        return false;
    if (capDriverConnect(CapWindow, static_cast<std::uint16_t>(index)) == 0)
        return false;
    CaptureParms parms;
    if (capCaptureGetSetup(CapWindow, &parms, sizeof parms) == 0)
        return true; // connected; the driver keeps its own setup
    parms.dwRequestMicroSecPerFrame = 66667; // 15 frames a second
    parms.fLimitEnabled = 0;
    parms.fCaptureAudio = 0;
    parms.fMCIControl = 0;
    parms.fYield = -1; // TRUE with all bits set
    parms.vKeyAbort = 27; // Escape
    parms.fAbortLeftMouse = 0;
    parms.fAbortRightMouse = 0;
    return capCaptureSetSetup(CapWindow, &parms, sizeof parms) != 0;
}

std::int32_t CapStatusCallback(CaptureWindow* /*window*/, std::int32_t id, const char* text)
{
    const std::string_view report = text ? text : "";
    if (StatusLabel) {
        StatusLabel->setText(QString::fromLocal8Bit(report.data(), static_cast<qsizetype>(report.size())));
        StatusLabel->repaint();
    }
    if (id != currentFrameStatus)
        return 1;

    const auto space = report.find(' ');
    const std::string_view word = space == std::string_view::npos ? std::string_view{} : report.substr(0, space);
    std::int32_t frames = 0;
    if (!textToInteger(word, frames))
        return 1;
    if (std::int64_t(frames) < std::int64_t(FrameLimit))
        return 1;
    capCaptureAbort(CapWindow);
    if (OnFrameLimit)
        OnFrameLimit(nullptr);
    return 1;
}

void CapDestroy()
{
    if (!CapWindow)
        return;
    capSetCallbackOnStatus(CapWindow, nullptr);
    capDriverDisconnect(CapWindow);
    DestroyWindow(CapWindow);
    CapWindow = nullptr;
}

void CapStartOverlay()
{
    if (!CapWindow)
        return;
    capPreviewScale(CapWindow, 1);
    capPreviewRate(CapWindow, previewRate);
    capOverlay(CapWindow, 1);
}

void CapResumePreview()
{
    if (!CapWindow)
        return;
    capOverlay(CapWindow, 0);
    capPreviewScale(CapWindow, 1);
    capPreviewRate(CapWindow, previewRate);
    capPreview(CapWindow, 1);
}

void CapGrabToClipboard()
{
    if (!CapWindow)
        return;
    capGrabFrame(CapWindow);
    capEditCopy(CapWindow);
}

void CapOverlayOn() { capOverlay(CapWindow, 1); }
void CapPreviewOn() { capPreview(CapWindow, 1); }

void CapDlgVideoFormat()
{
    if (CapWindow)
        capDlgVideoFormat(CapWindow);
}

void CapDlgVideoSource()
{
    if (CapWindow)
        capDlgVideoSource(CapWindow);
}

void CapDlgVideoDisplay()
{
    if (CapWindow)
        capDlgVideoDisplay(CapWindow);
}
