#include "VFWInterUnit.h"

using capture::captureService;

CaptureWindow* capCreateCaptureWindowA(const char* caption, std::uint32_t style, int x, int y, int width, int height,
                                       QWidget* parent, int id)
{
    return captureService().createCaptureWindow(caption, style, x, y, width, height, parent, id);
}

bool capGetDriverDescriptionA(std::uint16_t index, char* name, int nameSize, char* version, int versionSize)
{
    return captureService().driverDescription(index, name, nameSize, version, versionSize);
}

void DestroyWindow(CaptureWindow* window)
{
    captureService().destroyWindow(window);
}

std::int32_t capSetCallbackOnStatus(CaptureWindow* window, StatusCallback callback)
{
    return captureService().setCallbackOnStatus(window, callback);
}

std::int32_t capDriverConnect(CaptureWindow* window, std::uint16_t index)
{
    return captureService().driverConnect(window, index);
}

std::int32_t capDriverDisconnect(CaptureWindow* window)
{
    return captureService().driverDisconnect(window);
}

std::int32_t capFileSetCaptureFile(CaptureWindow* window, const char* fileName)
{
    return captureService().fileSetCaptureFile(window, fileName);
}

std::int32_t capEditCopy(CaptureWindow* window)
{
    return captureService().editCopy(window);
}

std::int32_t capDlgVideoFormat(CaptureWindow* window)
{
    return captureService().dlgVideoFormat(window);
}

std::int32_t capDlgVideoSource(CaptureWindow* window)
{
    return captureService().dlgVideoSource(window);
}

std::int32_t capDlgVideoDisplay(CaptureWindow* window)
{
    return captureService().dlgVideoDisplay(window);
}

std::int32_t capPreview(CaptureWindow* window, std::uint16_t on)
{
    return captureService().setPreview(window, on);
}

std::int32_t capOverlay(CaptureWindow* window, std::uint16_t on)
{
    return captureService().setOverlay(window, on);
}

std::int32_t capPreviewRate(CaptureWindow* window, std::uint16_t milliseconds)
{
    return captureService().setPreviewRate(window, milliseconds);
}

std::int32_t capPreviewScale(CaptureWindow* window, std::uint16_t on)
{
    return captureService().setScale(window, on);
}

std::int32_t capGrabFrame(CaptureWindow* window)
{
    return captureService().grabFrame(window);
}

std::int32_t capCaptureSetSetup(CaptureWindow* window, CaptureParms* parms, std::uint16_t size)
{
    return captureService().setSequenceSetup(window, size, parms);
}

std::int32_t capCaptureGetSetup(CaptureWindow* window, CaptureParms* parms, std::uint16_t size)
{
    return captureService().getSequenceSetup(window, size, parms);
}

std::int32_t capCaptureAbort(CaptureWindow* window)
{
    return captureService().abort(window);
}
