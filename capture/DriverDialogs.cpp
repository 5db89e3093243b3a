#include "DriverDialogs.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>
#include <gst/video/colorbalance.h>
#include <gst/video/video.h>

#include "CapturePipeline.h"
#include "CaptureWindow.h"

namespace capture {

namespace {

constexpr FormatChoices::Size commonSizes[] = {{160, 120},  {176, 144},  {320, 240},   {352, 288},   {640, 360},
                                               {640, 480},  {800, 600},  {1024, 768},  {1280, 720},  {1280, 960},
                                               {1600, 1200}, {1920, 1080}, {2560, 1440}, {3840, 2160}};
constexpr int commonRates[] = {5, 10, 15, 20, 25, 30, 50, 60};

// The integers a field allows: its values, or for a range its bounds with `isRange`.
struct IntField {
    std::vector<int> values;
    bool isRange = false;
    int min = 0, max = 0;
    bool allows(int v) const
    {
        return isRange ? v >= min && v <= max : std::find(values.begin(), values.end(), v) != values.end();
    }
};

IntField intField(const GValue* value)
{
    IntField field;
    if (!value)
        return field;
    if (G_VALUE_HOLDS_INT(value)) {
        field.values.push_back(g_value_get_int(value));
    } else if (GST_VALUE_HOLDS_INT_RANGE(value)) {
        field.isRange = true;
        field.min = gst_value_get_int_range_min(value);
        field.max = gst_value_get_int_range_max(value);
    } else if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
            const GValue* item = gst_value_list_get_value(value, i);
            if (G_VALUE_HOLDS_INT(item))
                field.values.push_back(g_value_get_int(item));
        }
    }
    return field;
}

template <typename T>
void addOnce(std::vector<T>& list, const T& item)
{
    if (std::find(list.begin(), list.end(), item) == list.end())
        list.push_back(item);
}

void addRates(const GValue* value, std::vector<FormatChoices::Rate>& rates)
{
    if (!value)
        return;
    if (GST_VALUE_HOLDS_FRACTION(value)) {
        const int n = gst_value_get_fraction_numerator(value), d = gst_value_get_fraction_denominator(value);
        if (n > 0 && d > 0)
            addOnce(rates, {n, d});
    } else if (GST_VALUE_HOLDS_FRACTION_RANGE(value)) {
        const GValue* low = gst_value_get_fraction_range_min(value);
        const GValue* high = gst_value_get_fraction_range_max(value);
        const double min = double(gst_value_get_fraction_numerator(low)) / gst_value_get_fraction_denominator(low);
        const double max = double(gst_value_get_fraction_numerator(high)) / gst_value_get_fraction_denominator(high);
        for (int rate : commonRates)
            if (rate >= min && rate <= max)
                addOnce(rates, {rate, 1});
    } else if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); ++i)
            addRates(gst_value_list_get_value(value, i), rates);
    }
}

std::vector<std::string> formatNames(const GstStructure* s)
{
    const std::string media = gst_structure_get_name(s);
    const GValue* format = gst_structure_get_value(s, "format");
    std::vector<std::string> names;
    if (format && G_VALUE_HOLDS_STRING(format)) {
        names.push_back(media + ", format=" + g_value_get_string(format));
    } else if (format && GST_VALUE_HOLDS_LIST(format)) {
        for (guint i = 0; i < gst_value_list_get_size(format); ++i) {
            const GValue* item = gst_value_list_get_value(format, i);
            if (G_VALUE_HOLDS_STRING(item))
                names.push_back(media + ", format=" + g_value_get_string(item));
        }
    } else {
        names.push_back(media);
    }
    return names;
}

template <typename Widget>
Widget* named(Widget* widget, const char* name)
{
    widget->setObjectName(name);
    return widget;
}

QString rateText(FormatChoices::Rate rate)
{
    return rate.denominator == 1 ? QString("%1 frames a second").arg(rate.numerator)
                                 : QString("%1/%2 frames a second").arg(rate.numerator).arg(rate.denominator);
}

QDialogButtonBox* okCancel(QDialog& dialog)
{
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    return buttons;
}

} // namespace

FormatChoices formatChoices(const GstCaps* offered, const GstCaps* current, const GstCaps* own)
{
    FormatChoices choices;
    if (!offered || gst_caps_is_any(offered))
        return choices;
    for (guint i = 0; i < gst_caps_get_size(offered); ++i) {
        const GstStructure* s = gst_caps_get_structure(offered, i);
        for (std::string& name : formatNames(s))
            addOnce(choices.formats, name);
        const IntField widths = intField(gst_structure_get_value(s, "width"));
        const IntField heights = intField(gst_structure_get_value(s, "height"));
        if (widths.isRange || heights.isRange) {
            for (const FormatChoices::Size& size : commonSizes)
                if (widths.allows(size.width) && heights.allows(size.height))
                    addOnce(choices.sizes, size);
        } else {
            for (int w : widths.values)
                for (int h : heights.values)
                    addOnce(choices.sizes, {w, h});
        }
        addRates(gst_structure_get_value(s, "framerate"), choices.rates);
    }
    if (current && !gst_caps_is_any(current) && !gst_caps_is_empty(current)) {
        const FormatChoices now = formatChoices(current);
        for (const std::string& format : now.formats)
            addOnce(choices.formats, format);
        for (const FormatChoices::Size& size : now.sizes)
            addOnce(choices.sizes, size);
        for (const FormatChoices::Rate& rate : now.rates)
            addOnce(choices.rates, rate);
    }
    std::sort(choices.sizes.begin(), choices.sizes.end(), [](const auto& a, const auto& b) {
        return std::pair(a.width, a.height) < std::pair(b.width, b.height);
    });
    std::sort(choices.rates.begin(), choices.rates.end(), [](const auto& a, const auto& b) {
        return std::int64_t(a.numerator) * b.denominator < std::int64_t(b.numerator) * a.denominator;
    });
    if (own && !gst_caps_is_any(own) && !gst_caps_is_empty(own)) {
        // The source's own comes first, whatever the pipeline could make of it.
        const FormatChoices itsOwn = formatChoices(own);
        auto putFirst = [](auto& list, const auto& ownList) {
            if (ownList.empty())
                return;
            std::erase(list, ownList.front());
            list.insert(list.begin(), ownList.front());
        };
        putFirst(choices.formats, itsOwn.formats);
        putFirst(choices.sizes, itsOwn.sizes);
        putFirst(choices.rates, itsOwn.rates);
    }
    return choices;
}

FormatIndices formatIndices(const FormatChoices& choices, const GstCaps* caps)
{
    FormatIndices indices;
    if (!caps || gst_caps_is_any(caps) || gst_caps_is_empty(caps))
        return indices;
    const FormatChoices current = formatChoices(caps);
    auto indexOf = [](const auto& list, const auto& item) {
        const auto found = std::find(list.begin(), list.end(), item);
        return found == list.end() ? -1 : int(found - list.begin());
    };
    if (!current.formats.empty())
        indices.format = indexOf(choices.formats, current.formats.front());
    if (!current.sizes.empty())
        indices.size = indexOf(choices.sizes, current.sizes.front());
    if (!current.rates.empty())
        indices.rate = indexOf(choices.rates, current.rates.front());
    return indices;
}

std::string formatLabel(const std::string& format)
{
    static const std::map<std::string, std::string> words = {
        {"video/x-raw, format=I420", "YUV 4:2:0 (I420)"},  {"video/x-raw, format=YV12", "YUV 4:2:0 (YV12)"},
        {"video/x-raw, format=NV12", "YUV 4:2:0 (NV12)"},  {"video/x-raw, format=NV21", "YUV 4:2:0 (NV21)"},
        {"video/x-raw, format=YUY2", "YUV 4:2:2 (YUY2)"},  {"video/x-raw, format=UYVY", "YUV 4:2:2 (UYVY)"},
        {"video/x-raw, format=YVYU", "YUV 4:2:2 (YVYU)"},  {"video/x-raw, format=Y42B", "YUV 4:2:2 (Y42B)"},
        {"video/x-raw, format=Y444", "YUV 4:4:4 (Y444)"},  {"video/x-raw, format=GRAY8", "Gray, 8 bits (GRAY8)"},
        {"video/x-raw, format=GRAY16_LE", "Gray, 16 bits (GRAY16_LE)"},
        {"video/x-raw, format=RGB", "RGB, 24 bits (RGB)"}, {"video/x-raw, format=BGR", "BGR, 24 bits (BGR)"},
        {"video/x-raw, format=RGBx", "RGB, 32 bits (RGBx)"}, {"video/x-raw, format=BGRx", "BGR, 32 bits (BGRx)"},
        {"video/x-raw, format=xRGB", "RGB, 32 bits (xRGB)"}, {"video/x-raw, format=xBGR", "BGR, 32 bits (xBGR)"},
        {"video/x-raw, format=RGBA", "RGB with alpha (RGBA)"}, {"video/x-raw, format=BGRA", "BGR with alpha (BGRA)"},
        {"video/x-raw, format=ARGB", "RGB with alpha (ARGB)"}, {"video/x-raw, format=ABGR", "BGR with alpha (ABGR)"},
        {"video/x-raw, format=RGB16", "RGB, 16 bits (RGB16)"}, {"image/jpeg", "Motion JPEG"},
        {"video/x-h264", "H.264"},                          {"video/x-raw", "Uncompressed"},
    };
    if (const auto found = words.find(format); found != words.end())
        return found->second;
    // Formats without a name of ours keep GStreamer's description of them.
    const std::string prefix = "video/x-raw, format=";
    if (format.starts_with(prefix)) {
        const std::string name = format.substr(prefix.size());
        const GstVideoFormatInfo* info = gst_video_format_get_info(gst_video_format_from_string(name.c_str()));
        if (info && GST_VIDEO_FORMAT_INFO_FORMAT(info) != GST_VIDEO_FORMAT_UNKNOWN)
            return std::string(info->description) + " (" + name + ")";
        return name;
    }
    return format;
}

platform::gst::Caps chosenCaps(const std::string& format, FormatChoices::Size size, FormatChoices::Rate rate)
{
    const std::string text = format + ", width=(int)" + std::to_string(size.width) + ", height=(int)" +
                             std::to_string(size.height) + ", framerate=(fraction)" + std::to_string(rate.numerator) +
                             "/" + std::to_string(rate.denominator);
    return platform::gst::Caps(gst_caps_from_string(text.c_str()));
}

void showVideoFormatDialog(CaptureWindow& window)
{
    CapturePipeline* pipeline = window.pipeline();
    if (!pipeline)
        return;
    const platform::gst::Caps current = pipeline->currentCaps();
    const platform::gst::Caps own = pipeline->ownCaps();
    const FormatChoices choices = formatChoices(pipeline->offeredCaps().get(), current.get(), own.get());
    const FormatIndices now = formatIndices(choices, current.get());
    const FormatChoices itsOwn = formatChoices(own.get());

    QDialog dialog(window.window());
    dialog.setWindowTitle("Video Format");
    auto* form = new QFormLayout;
    auto* formats = named(new QComboBox, "formats");
    auto* sizes = named(new QComboBox, "sizes");
    auto* rates = named(new QComboBox, "rates");
    for (const std::string& f : choices.formats)
        formats->addItem(QString::fromStdString(formatLabel(f)));
    // The source's own size and rate say so: the others are made by the pipeline.
    const QString ownMark = " (the source's own)";
    for (const auto& s : choices.sizes)
        sizes->addItem(QString("%1 x %2").arg(s.width).arg(s.height) +
                       (!itsOwn.sizes.empty() && s == itsOwn.sizes.front() ? ownMark : QString()));
    for (const auto& r : choices.rates)
        rates->addItem(rateText(r) + (!itsOwn.rates.empty() && r == itsOwn.rates.front() ? ownMark : QString()));
    // What the source runs with now is chosen at first, so OK alone changes nothing.
    formats->setCurrentIndex(now.format);
    sizes->setCurrentIndex(now.size);
    rates->setCurrentIndex(now.rate);
    form->addRow("Pixel format", formats);
    form->addRow("Resolution", sizes);
    form->addRow("Frame rate", rates);
    auto* layout = new QVBoxLayout(&dialog);
    if (!itsOwn.sizes.empty() && !itsOwn.rates.empty()) {
        auto* sends = named(new QLabel(QString("The source sends %1 x %2 at %3.")
                                           .arg(itsOwn.sizes.front().width)
                                           .arg(itsOwn.sizes.front().height)
                                           .arg(rateText(itsOwn.rates.front()))),
                            "ownFormat");
        layout->addWidget(sends);
    }
    layout->addLayout(form);
    layout->addWidget(okCancel(dialog));
    if (dialog.exec() != QDialog::Accepted || formats->currentIndex() < 0 || sizes->currentIndex() < 0 ||
        rates->currentIndex() < 0)
        return;

    platform::gst::Caps caps = chosenCaps(choices.formats[formats->currentIndex()], choices.sizes[sizes->currentIndex()],
                                choices.rates[rates->currentIndex()]);
    // The source may have been lost while the dialog was open; it has said so then.
    LiveSource& source = window.source();
    if (!source.pipeline())
        return;
    source.changeFormat(std::move(caps));
    // The window may go while the change is waited for; the source goes with it.
    const QPointer<CaptureWindow> guard(&window);
    waitHandlingEvents(&source, [&] { return !guard || source.state() != LiveSource::State::Connecting; },
                       std::chrono::seconds(12));
}

void showVideoSourceDialog(CaptureWindow& window)
{
    CapturePipeline* pipeline = window.pipeline();
    if (!pipeline)
        return;
    // Held for the dialog's life: the source may reconnect meanwhile, ending this
    // pipeline; the controls then move an element nobody shows, harmlessly.
    const platform::gst::Element element(GST_ELEMENT(gst_object_ref(pipeline->colourBalance())));
    GstColorBalance* balance = GST_COLOR_BALANCE(element.get());

    QDialog dialog(window.window());
    dialog.setWindowTitle("Video Source");
    auto* form = new QFormLayout;
    std::map<GstColorBalanceChannel*, int> before;
    for (const GList* item = gst_color_balance_list_channels(balance); item; item = item->next) {
        auto* channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        auto* slider = new QSlider(Qt::Horizontal);
        slider->setObjectName(channel->label);
        slider->setRange(channel->min_value, channel->max_value);
        before[channel] = gst_color_balance_get_value(balance, channel);
        slider->setValue(before[channel]);
        QObject::connect(slider, &QSlider::valueChanged, &dialog,
                         [balance, channel](int value) { gst_color_balance_set_value(balance, channel, value); });
        form->addRow(QString(channel->label).toLower().replace(0, 1, QString(channel->label).left(1).toUpper()),
                     slider);
    }
    auto* layout = new QVBoxLayout(&dialog);
    layout->addLayout(form);
    layout->addWidget(okCancel(dialog));
    if (dialog.exec() != QDialog::Accepted)
        for (const auto& [channel, value] : before)
            gst_color_balance_set_value(balance, channel, value);
}

void showVideoDisplayDialog(CaptureWindow& window)
{
    if (!window.pipeline())
        return;
    QDialog dialog(window.window());
    dialog.setWindowTitle("Video Display");
    auto* scaled = named(new QRadioButton("Scale to window"), "scaled");
    auto* actual = named(new QRadioButton("Actual size"), "actual");
    (window.scale() ? scaled : actual)->setChecked(true);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(scaled);
    layout->addWidget(actual);
    layout->addWidget(okCancel(dialog));
    if (dialog.exec() == QDialog::Accepted)
        window.setScale(scaled->isChecked());
}

} // namespace capture
