// Pictures reduced for the screen by 2 x 2 means, and the view that shows them: the
// reduction against a plain version written here, and what the view draws of a shared
// 24-bit picture.

#include <memory>
#include <random>

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include "Bitmap.h"
#include "ClipboardFrame.h"
#include "CpuVariant.h"
#include "PictureHalving.h"
#include "PictureView.h"

using namespace app;

namespace {

QImage randomImage(int width, int height, QImage::Format format, std::uint32_t seed)
{
    QImage image(width, height, format);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(int(random() % 256), int(random() % 256), int(random() % 256)));
    return image;
}

// One halving, channel by channel: the mean of the two rows, then of the two columns,
// each rounded up at a half.
QImage plainHalved(const QImage& picture)
{
    QImage half(picture.width() / 2, picture.height() / 2, QImage::Format_RGB32);
    auto mean = [](int a, int b) { return (a + b + 1) / 2; };
    for (int y = 0; y < half.height(); ++y)
        for (int x = 0; x < half.width(); ++x) {
            const QRgb tl = picture.pixel(2 * x, 2 * y), tr = picture.pixel(2 * x + 1, 2 * y),
                       bl = picture.pixel(2 * x, 2 * y + 1), br = picture.pixel(2 * x + 1, 2 * y + 1);
            half.setPixel(x, y, qRgb(mean(mean(qRed(tl), qRed(bl)), mean(qRed(tr), qRed(br))),
                                     mean(mean(qGreen(tl), qGreen(bl)), mean(qGreen(tr), qGreen(br))),
                                     mean(mean(qBlue(tl), qBlue(bl)), mean(qBlue(tr), qBlue(br)))));
        }
    return half;
}

// Names the first pixel where the two differ.
::testing::AssertionResult samePicture(const QImage& got, const QImage& expected)
{
    if (got.size() != expected.size())
        return ::testing::AssertionFailure() << "size " << got.width() << "x" << got.height() << " not "
                                             << expected.width() << "x" << expected.height();
    for (int y = 0; y < got.height(); ++y)
        for (int x = 0; x < got.width(); ++x)
            if (got.pixel(x, y) != expected.pixel(x, y))
                return ::testing::AssertionFailure() << "at " << x << "," << y << ": " << std::hex << got.pixel(x, y)
                                                     << " not " << expected.pixel(x, y);
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(PictureHalving, EqualsPlainMeansAtEveryWidthAroundTheVectorRoundsInEachFormat)
{
    for (const analysis::CpuVariant variant : {analysis::CpuVariant::portable, analysis::CpuVariant::avx2}) {
        const analysis::CpuVariantCeiling ceiling(variant);
        for (QImage::Format format : {QImage::Format_BGR888, QImage::Format_RGB32, QImage::Format_Indexed8}) {
            for (int width : {1, 2, 3, 16, 17, 18, 19, 20, 32, 33, 34, 35, 48, 49, 52, 70, 641}) {
                for (int height : {1, 2, 5, 9}) {
                    const auto seed = std::uint32_t(width * 16 + height);
                    QImage picture = randomImage(width, height, QImage::Format_RGB32, seed);
                    if (format == QImage::Format_Indexed8)
                        picture = picture.convertToFormat(format, Qt::ThresholdDither);
                    else
                        picture = picture.convertToFormat(format);
                    QImage expected = picture.convertToFormat(QImage::Format_RGB32);
                    for (int times = 1; times <= 3; ++times) {
                        expected = plainHalved(expected);
                        const QImage got = halvedPicture(picture, times);
                        if (!expected.isNull()) {
                            EXPECT_EQ(got.format(), QImage::Format_RGB32);
                        }
                        EXPECT_TRUE(samePicture(got, expected))
                            << "variant " << int(variant) << ", format " << format << ", " << width << "x"
                            << height << " halved " << times << " times";
                    }
                }
            }
        }
    }
}

TEST(PictureHalving, ASharedPictureOfTheCycleIsReadWhereItLies)
{
    // A picture of the cycle's kind: its rows padded to whole words (23 * 3 = 69 bytes).
    auto picture = std::make_shared<analysis::Bitmap>(23, 6, analysis::PixelFormat::Bgr24);
    std::mt19937 random(7);
    for (int y = 0; y < picture->height(); ++y)
        for (int i = 0; i < 3 * picture->width(); ++i)
            picture->row(y)[i] = static_cast<std::uint8_t>(random());
    const QImage shared = platform::sharedImage(picture);
    ASSERT_EQ(shared.format(), QImage::Format_BGR888);
    EXPECT_TRUE(samePicture(halvedPicture(shared, 1), plainHalved(platform::imageFromBitmap(*picture))));
}

TEST(Pictures, ASharedColourPictureIsShownPixelExactWhereItFitsAndItsSpeckWhereReduced)
{
    PictureView view;
    view.resize(320, 240);
    auto picture = std::make_shared<analysis::Bitmap>(320, 240, analysis::PixelFormat::Bgr24);
    std::mt19937 random(3);
    for (int y = 0; y < 240; ++y)
        for (int i = 0; i < 3 * 320; ++i)
            picture->row(y)[i] = static_cast<std::uint8_t>(random());
    view.setPicture(platform::sharedImage(picture));
    EXPECT_TRUE(samePicture(view.grab().toImage().convertToFormat(QImage::Format_RGB32),
                            platform::imageFromBitmap(*picture)));

    // White but for one red pixel, four times too large: it shows as a tinted dot.
    auto large = std::make_shared<analysis::Bitmap>(1280, 960, analysis::PixelFormat::Bgr24);
    for (int y = 0; y < 960; ++y)
        std::fill_n(large->row(y), 3 * 1280, std::uint8_t(255));
    large->row(501)[3 * 777 + 0] = 0;
    large->row(501)[3 * 777 + 1] = 0;
    view.setPicture(platform::sharedImage(large));
    const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    int tinted = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            if (shown.pixel(x, y) != qRgb(255, 255, 255)) {
                ++tinted;
                EXPECT_GT(qRed(shown.pixel(x, y)), qBlue(shown.pixel(x, y))) << "red, faded";
                EXPECT_NEAR(x, 777 / 4, 1);
                EXPECT_NEAR(y, 501 / 4, 1);
            }
    EXPECT_GT(tinted, 0);
}

TEST(Pictures, AScaledPictureIsDrawnAsOneSmoothDrawingWould)
{
    PictureView view;
    view.resize(320, 240);
    const QImage picture = randomImage(1000, 700, QImage::Format_RGB32, 5);
    view.setPicture(picture);
    const QRect where = view.pictureRect();
    ASSERT_EQ(where, QRect(0, 8, 320, 224));

    QImage expected(view.size(), QImage::Format_RGB32);
    expected.fill(Qt::black);
    QPainter painter(&expected);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(where, halvedPicture(picture, 1));
    painter.end();
    const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_TRUE(samePicture(shown.copy(where), expected.copy(where)));
}
