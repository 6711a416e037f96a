#include "ui/BusyIndicator.h"

#include <QPainter>
#include <cmath>

CBusyIndicator::CBusyIndicator(QWidget* parent) : QWidget(parent) {
  setMinimumSize(32, 32);
  m_timer.setInterval(80);
  connect(&m_timer, &QTimer::timeout, this, [this] {
    m_nFrame = (m_nFrame + 1) % 12;
    update();
  });
}

void CBusyIndicator::Play() { m_timer.start(); }
void CBusyIndicator::Stop() { m_timer.stop(); }

void CBusyIndicator::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const int n = 12;
  double side = std::min(width(), height());
  double radius = side / 2 - side / 8;
  double dot = side / 10;
  QPointF c(width() / 2.0, height() / 2.0);
  QColor base = palette().color(QPalette::Highlight);
  for (int i = 0; i < n; ++i) {
    double a = 2 * M_PI * i / n - M_PI / 2;
    int age = (m_nFrame - i + n) % n;  // 0: the bright dot
    QColor col = base;
    col.setAlphaF(std::max(0.15, 1.0 - age / double(n)));
    p.setPen(Qt::NoPen);
    p.setBrush(col);
    p.drawEllipse(c + QPointF(std::cos(a) * radius, std::sin(a) * radius), dot, dot);
  }
}
