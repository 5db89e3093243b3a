#include "CameraSetup.h"

#include <algorithm>

#include <gst/gst.h>
#include <gst/video/colorbalance.h>

#include "CapturePipeline.h"
#include "LiveSource.h"

namespace app {

namespace {

constexpr int readingPeriodMs = 2000;

QString currentFormat(platform::CapturePipeline& pipeline)
{
    const platform::gst::Caps caps = pipeline.currentCaps();
    if (!caps)
        return {};
    const platform::gst::String text(gst_caps_to_string(caps.get()));
    return formatText(QString::fromUtf8(text.get()));
}

std::map<QString, int> currentControls(platform::CapturePipeline& pipeline)
{
    std::map<QString, int> values;
    GstElement* element = pipeline.colourBalance();
    if (!element || !GST_IS_COLOR_BALANCE(element))
        return values;
    GstColorBalance* balance = GST_COLOR_BALANCE(element);
    for (const GList* item = gst_color_balance_list_channels(balance); item; item = item->next) {
        auto* channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        values[QString::fromUtf8(channel->label).toLower()] = gst_color_balance_get_value(balance, channel);
    }
    return values;
}

void setControls(platform::CapturePipeline& pipeline, const std::map<QString, int>& values)
{
    GstElement* element = pipeline.colourBalance();
    if (!element || !GST_IS_COLOR_BALANCE(element))
        return;
    GstColorBalance* balance = GST_COLOR_BALANCE(element);
    for (const GList* item = gst_color_balance_list_channels(balance); item; item = item->next) {
        auto* channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        const auto value = values.find(QString::fromUtf8(channel->label).toLower());
        if (value != values.end())
            gst_color_balance_set_value(balance, channel,
                                        std::clamp(value->second, channel->min_value, channel->max_value));
    }
}

} // namespace

QString formatText(const QString& caps)
{
    platform::gst::Caps parsed(gst_caps_from_string(caps.toUtf8().constData()));
    if (!parsed || gst_caps_is_empty(parsed.get()) || gst_caps_is_any(parsed.get()))
        return {};
    const GstStructure* full = gst_caps_get_structure(parsed.get(), 0);
    GstStructure* kept = gst_structure_new_empty(gst_structure_get_name(full));
    for (const char* field : {"format", "width", "height", "framerate"})
        if (const GValue* value = gst_structure_get_value(full, field))
            gst_structure_set_value(kept, field, value);
    const platform::gst::Caps format(gst_caps_new_full(kept, nullptr)); // takes `kept`
    const platform::gst::String text(gst_caps_to_string(format.get()));
    return QString::fromUtf8(text.get());
}

CameraSetup::CameraSetup(platform::LiveSource& source, QString format, std::map<QString, int> controls,
                         QObject* parent)
    : QObject(parent), source_(&source), format_(std::move(format)), controls_(std::move(controls))
{
    connect(&source, &platform::LiveSource::stateChanged, this, &CameraSetup::stateChanged);
    reading_.setInterval(readingPeriodMs);
    connect(&reading_, &QTimer::timeout, this, &CameraSetup::refresh);
    reading_.start();
    stateChanged();
}

void CameraSetup::stateChanged()
{
    platform::CapturePipeline* pipeline = source_ ? source_->pipeline() : nullptr;
    if (!pipeline)
        return;
    if (step_ == Step::Format) {
        step_ = Step::Controls;
        if (!format_.isEmpty() && currentFormat(*pipeline) != format_) {
            platform::gst::Caps caps(gst_caps_from_string(format_.toUtf8().constData()));
            if (caps) {
                source_->changeFormat(std::move(caps)); // the controls follow once it runs again
                return;
            }
        }
    }
    if (step_ == Step::Controls) {
        step_ = Step::Done;
        setControls(*pipeline, controls_);
    }
    refresh();
}

void CameraSetup::refresh()
{
    platform::CapturePipeline* pipeline = source_ ? source_->pipeline() : nullptr;
    if (!pipeline || step_ != Step::Done)
        return;
    format_ = currentFormat(*pipeline);
    controls_ = currentControls(*pipeline);
}

} // namespace app
