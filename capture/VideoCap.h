#pragma once

// The capture session: one capture window inside a panel of the live video window,
// connected to the first capture driver that answers, showing the live picture in
// preview or overlay mode, grabbing single frames onto the clipboard, and writing the
// capture service's status reports into a label. One session per process; its
// settings are module-level values set through the setters and kept across sessions.

#include <cstdint>
#include <functional>
#include <string>

#include "VFWInterUnit.h"

class QLabel;
class QObject;
class QWidget;

// Called with the sender (always none) after a streaming capture was stopped at the
// frame limit.
using FrameLimitNotification = std::function<void(QObject* sender)>;

void CapSetParent(QWidget* panel);
void CapSetStatusLabel(QLabel* label);
void CapSetFrameLimitEvent(FrameLimitNotification notification);
void CapSetFrameLimit(std::uint32_t count);

// Opens a session: the capture window in the panel, the status callback, the first
// driver of 0 to 9 that connects, the capture file name. False when there is no panel,
// the window or its callback cannot be set up, or the session was ended while it
// connected; true also without a driver.
bool CapCreate();
void CapDestroy();

void CapStartOverlay();
void CapResumePreview();
void CapGrabToClipboard();
void CapOverlayOn();
void CapPreviewOn();
void CapDlgVideoFormat();
void CapDlgVideoSource();
void CapDlgVideoDisplay();

bool CapConnectDriver(int index);
// True while a session message waits for its source. The GUI keeps running then, and
// the program takes no second command on the session, except ending it (CapDestroy),
// which ends the wait at once.
bool CapWaiting();
std::int32_t CapStatusCallback(CaptureWindow* window, std::int32_t id, const char* text);

// The session's state, for the program and its tests.
CaptureWindow* capWindow();
const std::string& driverName();
std::uint32_t frameLimit();
