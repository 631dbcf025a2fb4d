#include "platform/controls/controls.h"
#include "platform/errors.h"
#include "platform/zlibtool/zlibtoolctrl.h"

#include <QLabel>
#include <QtTest>

#include <optional>

class TestControls : public QObject {
    Q_OBJECT

private slots:
    void addsCompressionControlByClassName();
    void refusals_data();
    void refusals();
    void registeredClasses();
};

void TestControls::addsCompressionControlByClassName()
{
    QWidget window;
    window.resize(600, 400);
    QWidget *control = Controls::Add("ZlibTool.ZlibToolCtrl.1", "ZlibTool1", &window);
    auto *zlib = qobject_cast<ZlibToolCtrl *>(control);
    QVERIFY(zlib);
    QCOMPARE(zlib->parentWidget(), &window);
    QCOMPARE(window.findChild<ZlibToolCtrl *>("ZlibTool1"), zlib);
    QVERIFY(!zlib->isVisible());

    // The start-up placement: between the About and Start buttons of the main window.
    Controls::setLeft(control, 1560);
    Controls::setTop(control, 4800);
    Controls::setHeight(control, 375);
    Controls::setWidth(control, 3495);
    QCOMPARE(control->geometry(), QRect(104, 320, 233, 25));
    QCOMPARE(control->property("Visible"), QVariant(false));
    QVERIFY(control->setProperty("Visible", true)); // set while the window is still hidden
    QCOMPARE(control->property("Visible"), QVariant(true));
    window.show();
    QVERIFY(zlib->isVisible());
    QVERIFY(control->setProperty("Visible", false));
    QVERIFY(!zlib->isVisible());
}

void TestControls::refusals_data()
{
    QTest::addColumn<QString>("classId");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("withContainer");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<long>("number");
    QTest::addColumn<QString>("cause");
    const QString zlib = "ZlibTool.ZlibToolCtrl.1";
    const long create = ErrorNumber::CannotCreateObject, invalid = ErrorNumber::InvalidArgument;
    QTest::newRow("unknown class") << "ZlibTool.ZlibToolCtrl.2"
                                   << "x" << true << true << create << "no component";
    QTest::newRow("not installed") << zlib << "ZlibTool1" << true << false << create << "not installed";
    QTest::newRow("no container") << zlib << "ZlibTool1" << false << true << invalid << "no window";
    QTest::newRow("no name") << zlib << "" << true << true << invalid << "needs a name";
    QTest::newRow("name in use") << zlib << "Taken" << true << true << invalid
                                 << "already has a control named \"Taken\"";
}

void TestControls::refusals()
{
    QFETCH(QString, classId);
    QFETCH(QString, name);
    QFETCH(bool, withContainer);
    QFETCH(bool, installed);
    QFETCH(long, number);
    QFETCH(QString, cause);
    QWidget window;
    (new QLabel(&window))->setObjectName("Taken");
    Controls::setAvailable(classId, installed);
    std::optional<Error> error;
    try {
        Controls::Add(classId, name, withContainer ? &window : nullptr);
    } catch (const Error &e) {
        error = e;
    }
    Controls::setAvailable(classId, true);
    QVERIFY(error);
    QCOMPARE(error->number(), number);
    QVERIFY2(error->description().startsWith("Cannot create the control \"" + classId + "\": "),
             qPrintable(error->description()));
    QVERIFY2(error->description().contains(cause), qPrintable(error->description()));
    QCOMPARE(window.findChildren<QWidget *>().size(), 1); // nothing was added

    // Once installed again the class is created as before.
    if (withContainer && installed == false)
        QVERIFY(qobject_cast<ZlibToolCtrl *>(Controls::Add(classId, name, &window)));
}

void TestControls::registeredClasses()
{
    QWidget window;
    Controls::registerClass("Test.Label.1", [] { return new QLabel("made by name"); });
    auto *label = qobject_cast<QLabel *>(Controls::Add("Test.Label.1", "Label1", &window));
    QVERIFY(label);
    QCOMPARE(label->text(), QString("made by name"));
    QCOMPARE(label->objectName(), QString("Label1"));

    Controls::registerClass("Test.Broken.1", [] { return nullptr; });
    try {
        Controls::Add("Test.Broken.1", "Broken1", &window);
        QFAIL("a factory that makes nothing must fail");
    } catch (const Error &e) {
        QCOMPARE(e.number(), ErrorNumber::CannotCreateObject);
    }
}

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
