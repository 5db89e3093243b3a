#include "PictureView.h"

#include <QPainter>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

// Each pixel the mean of a 2 x 2 block of a 32-bit picture, rounded as the means of the
// two rows and then of the two columns are. A speck stays visible as a fainter dot.
QImage halved(const QImage& picture)
{
    QImage half(picture.width() / 2, picture.height() / 2, QImage::Format_RGB32);
    for (int y = 0; y < half.height(); ++y) {
        const auto* top = reinterpret_cast<const QRgb*>(picture.constScanLine(2 * y));
        const auto* bottom = reinterpret_cast<const QRgb*>(picture.constScanLine(2 * y + 1));
        auto* to = reinterpret_cast<QRgb*>(half.scanLine(y));
        int x = 0;
#if defined(__x86_64__)
        for (; x + 4 <= half.width(); x += 4) {
            auto load = [](const QRgb* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
            const __m128 rows0 = _mm_castsi128_ps(_mm_avg_epu8(load(top + 2 * x), load(bottom + 2 * x)));
            const __m128 rows1 = _mm_castsi128_ps(_mm_avg_epu8(load(top + 2 * x + 4), load(bottom + 2 * x + 4)));
            const __m128i even = _mm_castps_si128(_mm_shuffle_ps(rows0, rows1, _MM_SHUFFLE(2, 0, 2, 0)));
            const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(rows0, rows1, _MM_SHUFFLE(3, 1, 3, 1)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x), _mm_avg_epu8(even, odd));
        }
#endif
        for (; x < half.width(); ++x) {
            const QRgb p[4] = {top[2 * x], top[2 * x + 1], bottom[2 * x], bottom[2 * x + 1]};
            QRgb mean = 0xFF000000u;
            for (int shift = 0; shift < 24; shift += 8) {
                auto channel = [shift](QRgb c) { return (c >> shift) & 0xFFu; };
                const QRgb left = (channel(p[0]) + channel(p[2]) + 1) / 2, right = (channel(p[1]) + channel(p[3]) + 1) / 2;
                mean |= (left + right + 1) / 2 << shift;
            }
            to[x] = mean;
        }
    }
    return half;
}

} // namespace

PictureView::PictureView(QWidget* parent) : QWidget(parent) {}

void PictureView::setPicture(const QImage& picture)
{
    picture_ = picture;
    reduced_ = QImage();
    reducedFor_ = QSize();
    update();
}

void PictureView::setOverlay(const QImage& overlay)
{
    overlay_ = overlay;
    update();
}

QRect PictureView::pictureRect() const
{
    QSize shown = picture_.size();
    if (shown.width() > width() || shown.height() > height())
        shown = shown.scaled(size(), Qt::KeepAspectRatio);
    return {QPoint((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown};
}

void PictureView::paintEvent(QPaintEvent*)
{
    if (picture_.isNull())
        return;
    QPainter painter(this);
    const QRect where = pictureRect();
    if (where.size() == picture_.size()) {
        painter.drawImage(where.topLeft(), picture_);
    } else {
        // The smoothing reads only the few pixels around each point it draws, so one
        // changed pixel of a large frame could be sampled away: halving by 2 x 2 means
        // first lets every pixel count.
        if (picture_.format() == QImage::Format_RGB32 && reducedFor_ != where.size()) {
            reduced_ = picture_;
            reducedFor_ = where.size();
            while (reduced_.width() / 2 >= where.width() && reduced_.height() / 2 >= where.height())
                reduced_ = halved(reduced_);
        }
        // Smoothing keeps a speck of movement visible as a fainter dot instead of dropping it.
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(where, picture_.format() == QImage::Format_RGB32 ? reduced_ : picture_);
    }
    if (!overlay_.isNull())
        painter.drawImage(where, overlay_);
}
