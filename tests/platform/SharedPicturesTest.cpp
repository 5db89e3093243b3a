// Images that show 24-bit pictures where they lie: the movement window's pictures and
// the capture service's frames, which the evaluation cycle takes without a copy.

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <QImage>
#include <gtest/gtest.h>

#include "../support/Pictures.h"
#include "ClipboardFrame.h"
#include "SharedPictures.h"

namespace {

// A camera's frame as GStreamer hands it over: rows of `width` pixels, padded to `stride`.
struct CameraRows {
    analysis::Bitmap picture;
    qsizetype stride;
    std::vector<uchar> bytes;
    CameraRows(int width, int height, qsizetype padding, std::uint32_t seed)
        : picture(randomPicture(width, height, seed)), stride(qsizetype(width) * 3 + padding),
          bytes(std::size_t(stride * height), 0xEE)
    {
        for (int y = 0; y < height; ++y)
            std::copy_n(picture.row(y), 3 * width, bytes.data() + y * stride);
    }
    QImage frameFrom(platform::FramePictures& pictures, const QString& stream = "1") const
    {
        return pictures.frame(bytes.data(), picture.width(), picture.height(), stride, stream);
    }
};

} // namespace

TEST(SharedPictures, ShownPixelExactWhereTheyLieAtEveryWidth)
{
    platform::FramePictures pictures;
    for (int width : {1, 2, 5, 7, 8, 9, 17, 31, 33, 321, 640}) {
        for (int height : {1, 3}) {
            const auto picture = std::make_shared<const analysis::Bitmap>(randomPicture(width, height, std::uint32_t(width)));
            const QImage image = platform::sharedImage(picture);
            EXPECT_EQ(image.constBits(), picture->row(0)) << "shown where it lies, not copied";
            EXPECT_TRUE(samePixels(image, *picture));
            EXPECT_EQ(platform::sharedPicture(image), picture);

            const CameraRows camera(width, height, width % 4, std::uint32_t(width * 7));
            const QImage frame = camera.frameFrom(pictures, "7");
            EXPECT_EQ(frame.format(), QImage::Format_BGR888);
            EXPECT_EQ(frame.text("stream"), "7");
            EXPECT_TRUE(samePixels(frame, camera.picture)) << "padded by " << width % 4;
            const std::shared_ptr<const analysis::Bitmap> grabbed = platform::sharedPicture(frame);
            ASSERT_NE(grabbed, nullptr) << "marking the frame with its connection copied it";
            EXPECT_EQ(*grabbed, camera.picture);
        }
    }
    EXPECT_TRUE(platform::sharedImage(std::make_shared<const analysis::Bitmap>(0, 4, analysis::PixelFormat::Bgr24)).isNull());
    EXPECT_TRUE(platform::sharedImage(nullptr).isNull());
    analysis::Bitmap gray(3, 2, analysis::PixelFormat::Bits8);
    gray.row(1)[2] = 77;
    const QImage grayImage = platform::sharedImage(std::make_shared<const analysis::Bitmap>(gray));
    EXPECT_EQ(grayImage.pixel(2, 1), qRgb(77, 77, 77)) << "an 8-bit picture through its (gray) table";
    EXPECT_EQ(platform::sharedPicture(grayImage), nullptr);
    EXPECT_TRUE(pictures.frame(nullptr, 4, 4, 12, "1").isNull());
    EXPECT_TRUE(pictures.frame(CameraRows(4, 4, 0, 1).bytes.data(), 4, 4, 11, "1").isNull()) << "rows overlap";
}

TEST(SharedPictures, AnImageHoldsItsPictureAndDrawingOnACopyLeavesItAlone)
{
    const analysis::Bitmap original = randomPicture(40, 30, 1);
    auto picture = std::make_shared<const analysis::Bitmap>(original);
    const std::weak_ptr<const analysis::Bitmap> watched = picture;
    QImage image = platform::sharedImage(picture);
    QImage painted = image;
    painted.setPixel(3, 4, qRgb(1, 2, 3)); // drawing on a copy gives it pixels of its own
    EXPECT_EQ(*picture, original);
    EXPECT_EQ(painted.pixel(3, 4), qRgb(1, 2, 3));
    EXPECT_EQ(platform::sharedPicture(painted), nullptr) << "it no longer shows the picture";
    EXPECT_EQ(platform::sharedPicture(image.convertToFormat(QImage::Format_RGB32)), nullptr);
    EXPECT_EQ(platform::sharedPicture(image.copy()), nullptr);

    picture.reset();
    EXPECT_FALSE(watched.expired()) << "the image holds the picture";
    EXPECT_TRUE(samePixels(image, original));
    const QImage second = platform::sharedImage(watched.lock());
    QImage copy = image;
    image = QImage();
    EXPECT_FALSE(watched.expired()) << "so does a copy of it";
    copy = QImage();
    EXPECT_FALSE(watched.expired()) << "and a second image of it";
    EXPECT_EQ(platform::sharedPicture(second), watched.lock()) << "known while any image shows it";
}

TEST(SharedPictures, AFrameNobodyHoldsServesTheNextAndAHeldOneIsNeverWrittenOver)
{
    auto pictures = std::make_unique<platform::FramePictures>();
    const CameraRows first(64, 48, 0, 1), second(64, 48, 0, 2), third(64, 48, 0, 3);

    QImage held = first.frameFrom(*pictures);
    std::shared_ptr<const analysis::Bitmap> taken = platform::sharedPicture(second.frameFrom(*pictures));
    const uchar* takenRows = taken->row(0);
    QImage next = third.frameFrom(*pictures); // both earlier frames are still held
    EXPECT_NE(next.constBits(), held.constBits());
    EXPECT_NE(next.constBits(), takenRows);
    EXPECT_TRUE(samePixels(held, first.picture));
    EXPECT_EQ(*taken, second.picture) << "a frame the cycle took was written over";

    taken.reset(); // the cycle lets go of its frame: its memory serves again
    const QImage again = first.frameFrom(*pictures);
    EXPECT_EQ(again.constBits(), takenRows);
    EXPECT_TRUE(samePixels(again, first.picture));
    EXPECT_TRUE(samePixels(next, third.picture));

    // Frames outlive the pictures they came from.
    pictures.reset();
    EXPECT_TRUE(samePixels(held, first.picture));
    held = QImage();
}

TEST(SharedPictures, FramesMadeOnOneThreadAndLetGoOnEither)
{
    // As the capture service hands them over: its thread puts each new frame in the place
    // of the last, the window's thread takes the newest and lets it go after a look.
    platform::FramePictures pictures;
    const CameraRows a(32, 24, 4, 9), b(32, 24, 4, 10);
    std::mutex mutex;
    QImage newest;
    std::atomic<bool> done = false;
    std::thread streaming([&] {
        for (int i = 0; i < 2000; ++i) {
            QImage frame = i % 2 ? b.frameFrom(pictures, "b") : a.frameFrom(pictures, "a");
            std::lock_guard lock(mutex);
            std::swap(newest, frame);
        } // the frame replaced is let go here, unless the other thread still looks at it
        done = true;
    });
    int looks = 0;
    while (!done || looks == 0) {
        QImage frame;
        {
            std::lock_guard lock(mutex);
            frame = newest;
        }
        if (frame.isNull())
            continue;
        const std::shared_ptr<const analysis::Bitmap> picture = platform::sharedPicture(frame);
        ASSERT_NE(picture, nullptr);
        ASSERT_EQ(*picture, (frame.text("stream") == "b" ? b : a).picture) << "a frame looked at was written over";
        ++looks;
    }
    streaming.join();
}
