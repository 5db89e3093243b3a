#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "Cycle.h"
#include "Event.h"
#include "EventReport.h"

using namespace watch;

TEST(EventReport, EventLinesCountTheSavedFramesAndCycleLinesSayThePercentAlike)
{
    events::Event e;
    e.id = 7;
    e.start = events::fromMilliseconds(1'800'000'000'000);
    e.end = e.start + std::chrono::seconds(40);
    e.peakCount = 2001;
    e.peakPercent = 2001 * 100.0 / (768 * 576);
    e.clip = "/saved/2027-01-15_09-20-00.mkv";
    e.thumbnail = "/saved/2027-01-15_09-20-00.jpg";
    const SavedFrames frames{157, "/saved"};

    for (const QByteArray& line : {eventStartJson(e, frames), eventEndJson(e, frames)}) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        EXPECT_EQ(o["savedFrames"].toInt(), 157) << line.toStdString();
        EXPECT_EQ(o["savedFramesFolder"].toString(), "/saved");
        EXPECT_EQ(o["files"].toArray(), (QJsonArray{QString::fromStdString(e.clip), QString::fromStdString(e.thumbnail)}));
        EXPECT_LT(line.size(), 600) << "a long event's line stays short";
        EXPECT_NE(line.indexOf(o["event"] == "start" ? "\"percent\":0.45," : "\"peakPercent\":0.45,"), -1)
            << line.toStdString();
    }

    Cycle c;
    c.frame = std::make_shared<const analysis::Bitmap>(768, 576, analysis::PixelFormat::Bgr24);
    c.compared = 0;
    c.changed = 2001;
    c.percent = 0; // the readout's whole percent
    EXPECT_NE(cycleJson(c).indexOf("\"percent\":0.45,"), -1) << cycleJson(c).toStdString();
}
