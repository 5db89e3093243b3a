#pragma once

// One function per message of a capture window, over the program's capture service.
// Each passes the window and the message's values on and returns the message's 32-bit
// result unchanged: nonzero is success.

#include <cstdint>

#include "CaptureService.h"

using capture::CaptureParms;
using capture::CaptureWindow;
using capture::StatusCallback;

CaptureWindow* capCreateCaptureWindowA(const char* caption, std::uint32_t style, int x, int y, int width, int height,
                                       QWidget* parent, int id);
bool capGetDriverDescriptionA(std::uint16_t index, char* name, int nameSize, char* version, int versionSize);
void DestroyWindow(CaptureWindow* window);

std::int32_t capSetCallbackOnStatus(CaptureWindow* window, StatusCallback callback);
std::int32_t capDriverConnect(CaptureWindow* window, std::uint16_t index);
std::int32_t capDriverDisconnect(CaptureWindow* window);
std::int32_t capFileSetCaptureFile(CaptureWindow* window, const char* fileName);
std::int32_t capEditCopy(CaptureWindow* window);
std::int32_t capDlgVideoFormat(CaptureWindow* window);
std::int32_t capDlgVideoSource(CaptureWindow* window);
std::int32_t capDlgVideoDisplay(CaptureWindow* window);
std::int32_t capPreview(CaptureWindow* window, std::uint16_t on);
std::int32_t capOverlay(CaptureWindow* window, std::uint16_t on);
std::int32_t capPreviewRate(CaptureWindow* window, std::uint16_t milliseconds);
std::int32_t capPreviewScale(CaptureWindow* window, std::uint16_t on);
std::int32_t capGrabFrame(CaptureWindow* window);
std::int32_t capCaptureSetSetup(CaptureWindow* window, CaptureParms* parms, std::uint16_t size);
std::int32_t capCaptureGetSetup(CaptureWindow* window, CaptureParms* parms, std::uint16_t size);
std::int32_t capCaptureAbort(CaptureWindow* window);
