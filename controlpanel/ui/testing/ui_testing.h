// What the view tests do as a user would (clicks on widgets and tabs), and
// the pictures they write for a person to look at.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QString>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QWidget>

namespace controlpanel::testing {

inline void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }

inline void ClickTab(QTabWidget* tabs, int index) {
  QTabBar* bar = tabs->tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
}

// Writes the widget's picture and checks only that the file holds it at the
// widget's size.
inline void WriteScreenshot(QWidget* widget, const QString& file) {
  QFile::remove(file);
  ASSERT_TRUE(widget->grab().save(file, "PNG")) << file.toStdString();
  const QImage written(file);
  EXPECT_EQ(written.size(), widget->size() * widget->devicePixelRatio()) << file.toStdString();
}

}  // namespace controlpanel::testing
