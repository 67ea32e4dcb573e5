#include "ViewController.h"

#include "QVMTKView.h"
#include "QVRenderer.h"
#include "RecordingGpu.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>
#include <array>
#include <gtest/gtest.h>
#include <memory>

namespace {

// A controller with every outlet connected to controls of a plain widget, a
// hidden view (the offscreen platform has no OpenGL) and a recording GPU device.
class ViewControllerTest : public ::testing::Test {
  public:
    ViewControllerTest() {
        // The texture upload is the renderer's business and would only copy the
        // built-in volume here.
        m_device->options().textureError = "not needed by the controller tests";
        m_view.resize(300, 200);
        for (QSlider* slider : {m_zrot, m_x, m_y, m_z, m_xBtm, m_yBtm, m_zBtm}) {
            slider->setRange(-100, 100);
            slider->setHidden(true);
        }
        m_vc.setView(&m_view);
        m_vc.zrotslider = m_zrot;
        m_vc.xslider = m_x;
        m_vc.yslider = m_y;
        m_vc.zslider = m_z;
        m_vc.xbtmslider = m_xBtm;
        m_vc.ybtmslider = m_yBtm;
        m_vc.zbtmslider = m_zBtm;
        m_vc.wwLabel = m_wwLabel;
        m_vc.wlLabel = m_wlLabel;
    }

    // Deleting the controls leaves the controller's weak outlets null.
    void removeControls() { m_controls.reset(); }

    std::shared_ptr<recording::Device> m_device = std::make_shared<recording::Device>();
    std::unique_ptr<QWidget> m_controls = std::make_unique<QWidget>();
    QSlider* m_zrot = new QSlider(m_controls.get());
    QSlider* m_x = new QSlider(m_controls.get());
    QSlider* m_y = new QSlider(m_controls.get());
    QSlider* m_z = new QSlider(m_controls.get());
    QSlider* m_xBtm = new QSlider(m_controls.get());
    QSlider* m_yBtm = new QSlider(m_controls.get());
    QSlider* m_zBtm = new QSlider(m_controls.get());
    QLabel* m_wwLabel = new QLabel(m_controls.get());
    QLabel* m_wlLabel = new QLabel(m_controls.get());
    QVMTKView m_view;
    ViewController m_vc{nullptr, [this] { return m_device; }};
};

TEST_F(ViewControllerTest, ViewDidLoadWiresDeviceRendererAndView) {
    m_vc.viewDidLoad();
    QVRenderer* renderer = m_vc.renderer();
    ASSERT_NE(renderer, nullptr);
    EXPECT_EQ(m_view.device(), m_device);
    EXPECT_EQ(m_view.delegate(), renderer);
    EXPECT_EQ(renderer->viewportSize().width, 300u);
    EXPECT_EQ(renderer->viewportSize().height, 200u);
    EXPECT_FALSE(m_vc.showIntercept());
    EXPECT_FALSE(m_vc.showZrot());
}

TEST_F(ViewControllerTest, ViewDidLoadStylesTheLabelsAndClearsTheFlags) {
    m_vc.setShowIntercept(true);
    m_vc.setShowZrot(true);
    m_vc.viewDidLoad();
    EXPECT_EQ(m_wwLabel->text(), QStringLiteral("WW"));
    EXPECT_EQ(m_wlLabel->text(), QStringLiteral("WL"));
    for (const QLabel* label : {m_wwLabel, m_wlLabel}) {
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor::fromRgbF(0.9f, 0.9f, 0.9f, 0.9f));
        EXPECT_EQ(label->font().pointSizeF(), 14.0);
    }
    EXPECT_FALSE(m_vc.showIntercept());
    EXPECT_FALSE(m_vc.showZrot());
}

TEST_F(ViewControllerTest, LabelsShowTheRenderersValuesInsideItsSetters) {
    m_vc.viewDidLoad();
    QVRenderer& renderer = *m_vc.renderer();
    struct Case {
        std::int64_t ww, wl;
        const char* wwText;
        const char* wlText;
    };
    for (const Case& c : {Case{1384, 738, "WW: 1384", "WL: 738"}, Case{1300, -20, "WW: 1300", "WL: -20"},
                          Case{-5, 0, "WW: -5", "WL: 0"},
                          Case{5000000000, -5000000000, "WW: 5000000000", "WL: -5000000000"}}) {
        renderer.setWw(c.ww);
        EXPECT_EQ(m_wwLabel->text(), QString::fromLatin1(c.wwText));
        renderer.setWl(c.wl);
        EXPECT_EQ(m_wlLabel->text(), QString::fromLatin1(c.wlText));
    }
}

TEST_F(ViewControllerTest, AFrameRewritesTheLabelsWithTheWindowItComputed) {
    m_vc.viewDidLoad();
    // A right drag gives the frame step a window change to apply.
    QApplication::setActiveWindow(&m_view);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), QPointF(10, 10), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(&m_view, &press);
    QMouseEvent drag(QEvent::MouseMove, QPointF(17, 13), QPointF(17, 13), Qt::NoButton, Qt::RightButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&m_view, &drag);
    ASSERT_NE(m_view.rdeltaX(), 0);
    m_view.delegate()->drawInMTKView(m_view);
    const QVRenderer& renderer = *m_vc.renderer();
    EXPECT_NE(renderer.ww(), 1384);
    EXPECT_EQ(m_wwLabel->text(), QStringLiteral("WW: %1").arg(renderer.ww()));
    EXPECT_EQ(m_wlLabel->text(), QStringLiteral("WL: %1").arg(renderer.wl()));
    QApplication::setActiveWindow(nullptr);
}

TEST_F(ViewControllerTest, AForeignKeyPathChangesNoLabel) {
    m_vc.viewDidLoad();
    m_wwLabel->setText(QStringLiteral("unchanged"));
    m_wlLabel->setText(QStringLiteral("unchanged"));
    for (const char* keyPath : {"zoom", "WW", "wlww", "w", "", "ww ", "clutmode"}) {
        m_vc.observeValueForKeyPath(QString::fromLatin1(keyPath));
    }
    EXPECT_EQ(m_wwLabel->text(), QStringLiteral("unchanged"));
    EXPECT_EQ(m_wlLabel->text(), QStringLiteral("unchanged"));
}

struct SliderCase {
    const char* name;
    QSlider* ViewControllerTest::*slider;
    void (ViewController::*action)();
    float (QVRenderer::*property)() const;
    int position;
    float expected;
};

// Top sliders: 0.01 v; bottom sliders: 0.5 - 0.01 v; z rotation: 0.005 v radians.
const std::array kSliderCases{
    SliderCase{"x top 100", &ViewControllerTest::m_x, &ViewController::xslideraction, &QVRenderer::xcept, 100,
               1.0f},
    SliderCase{"x top 0", &ViewControllerTest::m_x, &ViewController::xslideraction, &QVRenderer::xcept, 0,
               0.0f},
    SliderCase{"x top 37", &ViewControllerTest::m_x, &ViewController::xslideraction, &QVRenderer::xcept, 37,
               0.37f},
    SliderCase{"y top 100", &ViewControllerTest::m_y, &ViewController::yslideraction, &QVRenderer::ycept, 100,
               1.0f},
    SliderCase{"y top 50", &ViewControllerTest::m_y, &ViewController::yslideraction, &QVRenderer::ycept, 50,
               0.5f},
    SliderCase{"z top 100", &ViewControllerTest::m_z, &ViewController::zslideraction, &QVRenderer::zcept, 100,
               1.0f},
    SliderCase{"z top 0", &ViewControllerTest::m_z, &ViewController::zslideraction, &QVRenderer::zcept, 0,
               0.0f},
    SliderCase{"x bottom 0", &ViewControllerTest::m_xBtm, &ViewController::xBtmslideraction,
               &QVRenderer::xceptBtm, 0, 0.5f},
    SliderCase{"x bottom 100", &ViewControllerTest::m_xBtm, &ViewController::xBtmslideraction,
               &QVRenderer::xceptBtm, 100, -0.5f},
    SliderCase{"x bottom 50", &ViewControllerTest::m_xBtm, &ViewController::xBtmslideraction,
               &QVRenderer::xceptBtm, 50, 0.0f},
    SliderCase{"y bottom 0", &ViewControllerTest::m_yBtm, &ViewController::yBtmslideraction,
               &QVRenderer::yceptBtm, 0, 0.5f},
    SliderCase{"y bottom 50", &ViewControllerTest::m_yBtm, &ViewController::yBtmslideraction,
               &QVRenderer::yceptBtm, 50, 0.0f},
    SliderCase{"y bottom 20", &ViewControllerTest::m_yBtm, &ViewController::yBtmslideraction,
               &QVRenderer::yceptBtm, 20, 0.3f},
    SliderCase{"z bottom 100", &ViewControllerTest::m_zBtm, &ViewController::zBtmslideraction,
               &QVRenderer::zceptBtm, 100, -0.5f},
    SliderCase{"z bottom 50", &ViewControllerTest::m_zBtm, &ViewController::zBtmslideraction,
               &QVRenderer::zceptBtm, 50, 0.0f},
    SliderCase{"z rotation 100", &ViewControllerTest::m_zrot, &ViewController::zrotslideraction,
               &QVRenderer::zrot, 100, 0.5f},
    SliderCase{"z rotation -100", &ViewControllerTest::m_zrot, &ViewController::zrotslideraction,
               &QVRenderer::zrot, -100, -0.5f},
    SliderCase{"z rotation 0", &ViewControllerTest::m_zrot, &ViewController::zrotslideraction,
               &QVRenderer::zrot, 0, 0.0f},
    SliderCase{"z rotation 33", &ViewControllerTest::m_zrot, &ViewController::zrotslideraction,
               &QVRenderer::zrot, 33, 0.165f},
};

TEST_F(ViewControllerTest, EachSliderActionWritesItsMappedValue) {
    m_vc.viewDidLoad();
    QVRenderer& renderer = *m_vc.renderer();
    for (const SliderCase& c : kSliderCases) {
        // Start from a value no case expects, so a missed write shows.
        for (auto setter :
             {&QVRenderer::setXcept, &QVRenderer::setYcept, &QVRenderer::setZcept, &QVRenderer::setXceptBtm,
              &QVRenderer::setYceptBtm, &QVRenderer::setZceptBtm, &QVRenderer::setZrot}) {
            (renderer.*setter)(9.0f);
        }
        (this->*c.slider)->setValue(c.position);
        (m_vc.*c.action)();
        // The value computed in double precision and rounded once to single.
        EXPECT_EQ((renderer.*c.property)(), c.expected) << c.name;
    }
}

TEST_F(ViewControllerTest, InterceptToggleShowsThenHidesTheSixClipSliders) {
    m_vc.viewDidLoad();
    const std::array clipSliders{m_x, m_xBtm, m_y, m_yBtm, m_z, m_zBtm};
    m_x->setValue(42);
    m_vc.showInterceptSlider();
    EXPECT_TRUE(m_vc.showIntercept());
    for (QSlider* slider : clipSliders) {
        EXPECT_FALSE(slider->isHidden());
    }
    EXPECT_TRUE(m_zrot->isHidden());
    m_vc.showInterceptSlider();
    EXPECT_FALSE(m_vc.showIntercept());
    for (QSlider* slider : clipSliders) {
        EXPECT_TRUE(slider->isHidden());
    }
    EXPECT_EQ(m_x->value(), 42);
    EXPECT_EQ(m_vc.renderer()->xcept(), 1.0f);
}

TEST_F(ViewControllerTest, ZrotToggleShowsThenHidesTheRotationSlider) {
    m_vc.viewDidLoad();
    m_vc.showZrotSlider();
    EXPECT_TRUE(m_vc.showZrot());
    EXPECT_FALSE(m_zrot->isHidden());
    EXPECT_TRUE(m_x->isHidden());
    m_vc.showZrotSlider();
    EXPECT_FALSE(m_vc.showZrot());
    EXPECT_TRUE(m_zrot->isHidden());
}

TEST_F(ViewControllerTest, MissingControlsMakeEveryCallHarmless) {
    removeControls();
    m_vc.viewDidLoad();
    ASSERT_NE(m_vc.renderer(), nullptr);
    QVRenderer& renderer = *m_vc.renderer();
    for (auto action :
         {&ViewController::xslideraction, &ViewController::yslideraction, &ViewController::zslideraction,
          &ViewController::xBtmslideraction, &ViewController::yBtmslideraction,
          &ViewController::zBtmslideraction, &ViewController::zrotslideraction}) {
        (m_vc.*action)();
    }
    // A missing slider reads as position 0.
    EXPECT_EQ(renderer.xcept(), 0.0f);
    EXPECT_EQ(renderer.ycept(), 0.0f);
    EXPECT_EQ(renderer.zcept(), 0.0f);
    EXPECT_EQ(renderer.xceptBtm(), 0.5f);
    EXPECT_EQ(renderer.yceptBtm(), 0.5f);
    EXPECT_EQ(renderer.zceptBtm(), 0.5f);
    EXPECT_EQ(renderer.zrot(), 0.0f);
    m_vc.showInterceptSlider();
    m_vc.showZrotSlider();
    EXPECT_TRUE(m_vc.showIntercept());
    EXPECT_TRUE(m_vc.showZrot());
    renderer.setWw(10);
    renderer.setWl(20);
}

TEST_F(ViewControllerTest, CallsBeforeTheViewHasLoadedDoNothing) {
    m_x->setValue(30);
    m_vc.xslideraction();
    m_vc.observeValueForKeyPath(QStringLiteral("ww"));
    EXPECT_EQ(m_vc.renderer(), nullptr);
    EXPECT_EQ(m_wwLabel->text(), QString());
    EXPECT_EQ(m_view.delegate(), nullptr);
}

TEST_F(ViewControllerTest, GoingAwayUnsetsTheViewsDelegate) {
    QVMTKView view;
    {
        ViewController vc(nullptr, [this] { return m_device; });
        vc.setView(&view);
        vc.viewDidLoad();
        ASSERT_NE(view.delegate(), nullptr);
    }
    EXPECT_EQ(view.delegate(), nullptr);
}

} // namespace
