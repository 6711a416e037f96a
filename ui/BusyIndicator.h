// A looping busy animation for the progress dialogs: a ring of dots whose bright dot
// circles while the widget is shown.
#pragma once

#include <QTimer>
#include <QWidget>

class CBusyIndicator : public QWidget {
  Q_OBJECT
 public:
  explicit CBusyIndicator(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {40, 40}; }
  // Starts and stops the animation; it also stops while hidden.
  void Play();
  void Stop();
  bool IsPlaying() const { return m_timer.isActive(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QTimer m_timer;
  int m_nFrame = 0;
};
