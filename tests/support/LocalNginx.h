#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <pwd.h>
#include <unistd.h>

inline constexpr int kNginxWaitMilliseconds = 5000;
inline constexpr int kNginxStartAttempts = 3;

// nginx serving a folder of test files on 127.0.0.1 at a free port, started by the test as
// the current user (nginx.conf.in), its configuration, pid, temporary files and logs in the
// build tree.
class LocalNginx {
  public:
    ~LocalNginx() { stop(); }
    static QString binary() { return QStandardPaths::findExecutable(QStringLiteral("nginx"), {"/usr/sbin"}); }
    QString root() const { return m_folder.filePath(QStringLiteral("www")); }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

    // Starts the server; started again after stop(), it answers at the same address. A port
    // another test's server took between the probe and the start is given up for another.
    bool start() {
        const bool restart = m_port != 0;
        for (int attempt = 0; attempt < kNginxStartAttempts; ++attempt) {
            if (!restart) {
                QTcpServer probe;
                probe.listen(QHostAddress::LocalHost, 0);
                m_port = probe.serverPort();
            }
            if (launch())
                return true;
            stop();
        }
        return false;
    }
    void stop() {
        m_process.terminate();
        m_process.waitForFinished();
    }
    // The requests answered so far, "STATUS URI BODY_BYTES" each. nginx logs a request just after its
    // answer: once its one worker has answered a request made now, every earlier line is written.
    QStringList requests() const {
        answer("/.log-sync");
        QFile log(m_folder.filePath(QStringLiteral("access.log")));
        log.open(QIODevice::ReadOnly);
        QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        lines.removeIf([](const QString& line) { return line.contains(QLatin1String(" /.")); });
        return lines;
    }

  private:
    // Runs nginx on m_port; true once it, not another test's server, answers there.
    bool launch() {
        const QString dir = m_folder.path();
        QDir(dir).mkpath(QStringLiteral("www"));
        const QByteArray token =
            QByteArray::number(reinterpret_cast<quintptr>(this)) + QByteArray::number(getpid());
        QFile tokenFile(dir + QStringLiteral("/www/.token"));
        tokenFile.open(QIODevice::WriteOnly);
        tokenFile.write(token);
        tokenFile.close();
        QDir(dir).mkpath(QStringLiteral("temp"));
        QFile in(QStringLiteral(VOXVIEW_NGINX_CONFIG));
        QFile config(dir + QStringLiteral("/nginx.conf"));
        in.open(QIODevice::ReadOnly);
        config.open(QIODevice::WriteOnly);
        config.write(QString::fromUtf8(in.readAll())
                         .replace("@USER@", QString::fromLocal8Bit(getpwuid(getuid())->pw_name))
                         .replace("@DIR@", dir)
                         .replace("@PORT@", QString::number(m_port))
                         .toUtf8());
        config.close();
        m_process.start(binary(),
                        {"-p", dir, "-c", config.fileName(), "-e", dir + QStringLiteral("/error.log")});
        for (QDeadlineTimer deadline(kNginxWaitMilliseconds);
             !deadline.hasExpired() && m_process.state() != QProcess::NotRunning; QThread::msleep(50)) {
            if (body("/.token").endsWith("\r\n\r\n" + token))
                return true;
        }
        return false;
    }
    bool answer(const char* path) const { return !body(path).isEmpty(); }
    // The whole answer to a GET of `path`, headers and all; empty when none came.
    QByteArray body(const char* path) const {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (!socket.waitForConnected(kNginxWaitMilliseconds))
            return {};
        socket.write(QByteArray("GET ") + path + " HTTP/1.0\r\n\r\n");
        socket.waitForDisconnected(kNginxWaitMilliseconds);
        return socket.readAll();
    }

    QTemporaryDir m_folder{QDir::currentPath() + QStringLiteral("/nginx-XXXXXX")};
    QProcess m_process;
    quint16 m_port = 0;
};
