#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

#include "Bitmap.h"

namespace analysis {

// A frame that could not be saved: what() is "Cannot create file <name>", code() the
// system's reason.
class SaveError : public std::runtime_error {
public:
    SaveError(const std::string& fileName, std::error_code code)
        : std::runtime_error("Cannot create file " + fileName), code_(code)
    {
    }
    std::error_code code() const { return code_; }

private:
    std::error_code code_;
};

// Milliseconds since midnight of the local clock, 0 .. 86399999.
int millisecondsSinceLocalMidnight();

// The time of day as a fraction of the day in the general format with 15 significant
// digits: fixed-point from 0.0001 up, below that scientific with a capital E and no
// leading exponent zeros, "0" at midnight; `decimalSeparator` stands for the point.
std::string timeOfDayText(int millisecondsSinceMidnight, const std::string& decimalSeparator);

// "images/" + the time of day + ".bmp": where a frame grabbed at that time is saved.
std::string savedFrameName(int millisecondsSinceMidnight, const std::string& decimalSeparator);

// The bytes `saveBmp` writes for a 24-bit picture.
std::int64_t bmpFileSize(const Bitmap& picture);

// Writes a 24-bit picture as an uncompressed bottom-up BMP file. The bytes go to a
// temporary file beside `fileName` that is renamed over it once complete, so a reader
// never sees half a file and an earlier file survives a failure. Throws SaveError when
// the file cannot be written, std::invalid_argument for a picture that is not 24-bit.
void saveBmp(const Bitmap& picture, const std::string& fileName);

} // namespace analysis
