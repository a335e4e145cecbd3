// How responsive the operator window stays while the server relays a chat flood.
//
// Opens the real window (on whatever platform Qt is given: Xvfb for a real one), starts
// its server on an ephemeral port, runs the load generator's fanout workload against it,
// and measures the event loop's lag with a 10 ms timer: how late each tick comes.
//
// usage: qs-uilag LOADGEN [CLIENTS] [SECONDS]
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/INIToolz.h"
#include "support/Toolz.h"
#include "ui/Main.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LOADGEN [CLIENTS] [SECONDS]\n", argv[0]);
    return 2;
  }
  const QString loadgen = QString::fromLocal8Bit(argv[1]);
  const QString clients = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("100");
  const QString seconds = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral("10");

  qs::SetProgramArguments({"/ENGLISH"});
  qs::RefreshLocale();
  char folder[] = "/tmp/qs-uilag.XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  const std::string exe = std::string(folder) + "/uilag";
  qs::TEST_SetExecutablePath(exe);
  qs::IniWriteString("Main", "Password", "secret");

  qs::TServerOptions options;
  options.port = 0;
  qs::TfrmMain window(options);
  window.show();

  std::vector<double> lagsMs;
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    lagsMs.push_back(std::max(0.0, double(now - last) / 1e6 - 10.0));
    last = now;
  });

  QProcess load;
  load.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QObject::connect(&load, &QProcess::finished, [&] {
    tick.stop();
    std::sort(lagsMs.begin(), lagsMs.end());
    auto at = [&](double q) {
      return lagsMs.empty() ? 0.0 : lagsMs[std::size_t(q * double(lagsMs.size() - 1))];
    };
    const QByteArray out = load.readAllStandardOutput();
    const qsizetype line = out.lastIndexOf("RESULT_KV");
    std::printf("UILAG clients=%s ticks=%zu lag_p50_ms=%.2f lag_p99_ms=%.2f lag_max_ms=%.2f\n",
                qPrintable(clients), lagsMs.size(), at(0.5), at(0.99),
                lagsMs.empty() ? 0.0 : lagsMs.back());
    if (line >= 0) std::printf("%s", out.mid(line).constData());
    std::fflush(stdout);
    app.quit();
  });
  tick.start(10);
  load.start(loadgen, {"--proto", "quill", "--workload", "fanout", "-n", clients, "--duration",
                       seconds, "--port", QString::number(window.BoundPort())});
  const int code = app.exec();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return code;
}
