#pragma once

// A real mosquitto broker on a free local port, started and stopped by the test, and a
// real subscriber that keeps what it receives.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <mosquitto.h>
#include <pwd.h>
#include <unistd.h>

class MqttBroker {
public:
    // `access`: the configuration lines that say who may connect and what they may do.
    explicit MqttBroker(const QString& access = "allow_anonymous true\n")
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port_ = probe.serverPort();
        probe.close();
        QFile config(dir_.filePath("mosquitto.conf"));
        config.open(QIODevice::WriteOnly);
        // Persistence keeps retained messages and the subscriber's session across a restart;
        // the broker stays the user running the test, who owns the folder it persists in.
        const passwd* user = getpwuid(getuid());
        config.write(QStringLiteral("listener %1 127.0.0.1\n%4persistence true\n"
                                    "persistence_location %2/\nuser %3\nlog_type error\nlog_type warning\n")
                         .arg(port_)
                         .arg(dir_.path(), QString::fromLocal8Bit(user ? user->pw_name : "root"), access)
                         .toUtf8());
    }
    ~MqttBroker() { stop(); }

    int port() const { return port_; }

    // Starts the broker and waits until it takes connections; false when it does not.
    bool start()
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start("mosquitto", {"-c", dir_.filePath("mosquitto.conf")});
        if (!process_.waitForStarted(10000))
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, quint16(port_));
            if (socket.waitForConnected(500))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(10000))
            process_.kill();
        process_.waitForFinished(10000);
    }

private:
    QTemporaryDir dir_;
    int port_ = 0;
    QProcess process_;
};

// A subscriber to video/# (or other topic filters) that keeps a durable session (QoS 1),
// so that what is published while it is away reaches it once it is back.
class MqttSubscriber {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained = false;
    };

    explicit MqttSubscriber(int port, std::string id = "test-subscriber",
                            std::vector<std::string> filters = {"video/#"}, const std::string& password = {})
        : filters_(std::move(filters))
    {
        mosquitto_lib_init();
        client_ = mosquitto_new(id.c_str(), false, this);
        // With a password, the subscriber logs in under its id.
        if (!password.empty())
            mosquitto_username_pw_set(client_, id.c_str(), password.c_str());
        mosquitto_connect_callback_set(client_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                for (const std::string& filter : static_cast<MqttSubscriber*>(self)->filters_)
                    mosquitto_subscribe(m, nullptr, filter.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
            auto* me = static_cast<MqttSubscriber*>(self);
            std::lock_guard lock(me->mutex_);
            ++me->subscriptions_;
            me->changed_.notify_all();
        });
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* me = static_cast<MqttSubscriber*>(self);
            std::lock_guard lock(me->mutex_);
            me->messages_.push_back(
                {m->topic, std::string(static_cast<const char*>(m->payload), std::size_t(m->payloadlen)), m->retain});
            me->changed_.notify_all();
        });
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_async(client_, "127.0.0.1", port, 30);
        mosquitto_loop_start(client_);
    }
    ~MqttSubscriber()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }

    // Waits until `count` subscriptions were acknowledged (0: one for each filter).
    bool waitSubscribed(int count = 0)
    {
        if (count == 0)
            count = int(filters_.size());
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return subscriptions_ >= count; });
    }

    // Waits for a message the predicate accepts; returns it, or an empty topic.
    Message waitFor(const std::function<bool(const Message&)>& accepted)
    {
        std::unique_lock lock(mutex_);
        Message found;
        changed_.wait_for(lock, std::chrono::seconds(45), [&] {
            for (const Message& m : messages_)
                if (accepted(m)) {
                    found = m;
                    return true;
                }
            return false;
        });
        return found;
    }

    std::vector<Message> messages()
    {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    std::vector<std::string> filters_;
    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
    int subscriptions_ = 0;
};
