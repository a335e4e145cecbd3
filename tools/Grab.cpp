// Saves one X window's pixels as PNG: qs-grab WINDOW-ID FILE. For the README screenshots,
// so that making them needs no image tools beyond Qt.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s WINDOW-ID FILE.png\n", argv[0]);
    return 2;
  }
  const QPixmap pixels =
      QGuiApplication::primaryScreen()->grabWindow(QString::fromLatin1(argv[1]).toULongLong());
  return pixels.save(QString::fromLocal8Bit(argv[2]), "PNG") ? 0 : 1;
}
