#pragma once

#include "render/QVRenderer.h"
#include "ui/view/QVMTKView.h"
#include "ui/view/ViewController.h"
#include "ui/window/WindowController.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QWheelEvent>
#include <gtest/gtest.h>
#include <memory>

// The whole viewer window from MainWindow.ui, shown and active (keyboard shortcuts reach
// the active window only), drawing on the system's OpenGL (Mesa llvmpipe under Xvfb).
class ShownWindowTest : public ::testing::Test {
  protected:
    // Generous: the first frames wait for the built-in volume's upload on a loaded machine.
    static constexpr int kTimeoutMs = 60000;
    static constexpr QSize kWindowSize{320, 240};

    void show(std::unique_ptr<WindowController> window) {
        m_window = std::move(window);
        m_window->resize(kWindowSize);
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
        ASSERT_TRUE(waitForFrames(2));
        ASSERT_TRUE(waitForBricks());
    }

    // Until every brick the view needs is resident and a frame has shown them.
    bool waitForBricks() const {
        const auto complete = [this] {
            const BrickPool* pool = renderer().brickPool();
            return pool == nullptr || pool->complete();
        };
        return QTest::qWaitFor(complete, kTimeoutMs) && waitForFrames(2) && complete();
    }

    bool waitForFrames(int frames) const {
        QSignalSpy completed(m_window->view(), &QVMTKView::frameCompleted);
        return QTest::qWaitFor([&] { return completed.count() >= frames; }, kTimeoutMs);
    }

    static QString artefactPath(const QString& name) {
        const QDir artefacts(QCoreApplication::applicationDirPath() + QStringLiteral("/../test-artifacts"));
        artefacts.mkpath(QStringLiteral("."));
        return artefacts.filePath(name + QStringLiteral(".png"));
    }

    // The current picture of the window's view, or of another, kept as a test artefact.
    QImage grab(const QString& name, QVMTKView* view = nullptr) const {
        const QImage image = (view ? view : m_window->view())->grabFramebuffer();
        image.save(artefactPath(name));
        return image;
    }

    QVRenderer& renderer() const { return *m_window->contentViewController()->renderer(); }
    // Window coordinates of a point of a widget inside it.
    QPoint inWindow(const QWidget* widget, QPoint local) const {
        return widget->mapTo(m_window.get(), local);
    }
    QPoint viewCentre() const { return inWindow(m_window->view(), m_window->view()->rect().center()); }

    QSlider* slider(const char* name) const { return m_window->findChild<QSlider*>(QLatin1String(name)); }
    QLabel* label(const char* name) const { return m_window->findChild<QLabel*>(QLatin1String(name)); }
    QAction* action(const char* name) const { return m_window->findChild<QAction*>(QLatin1String(name)); }

    // A wheel event to the widget under the pointer, which passes it on to its parents
    // when it does not take it.
    void wheelAt(QPoint position, QPoint angleDelta, QPoint pixelDelta = {},
                 Qt::ScrollPhase phase = Qt::NoScrollPhase,
                 Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* target = m_window->childAt(position);
        ASSERT_NE(target, nullptr);
        const QPointF local = target->mapFrom(m_window.get(), QPointF(position));
        QWheelEvent event(local, target->mapToGlobal(local), pixelDelta, angleDelta, Qt::NoButton, modifiers,
                          phase, false);
        QApplication::sendEvent(target, &event);
    }

    std::unique_ptr<WindowController> m_window;
};
