// The compiled resource collection, the very objects QET links, read back
// through Qt; and what the QET binary exports and needs.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDomDocument>
#include <QImage>
#include <QResource>
#include <QtEndian>

int qInitResources_executables_QET_qrc();
int qCleanupResources_executables_QET_qrc();

namespace {

QByteArray contents(const QString& path) {
    QResource r(path);
    EXPECT_TRUE(r.isValid()) << path.toStdString();
    EXPECT_EQ(r.compressionAlgorithm(), QResource::NoCompression) << path.toStdString();
    return QByteArray(reinterpret_cast<const char*>(r.data()), int(r.size()));
}

TEST(QetResources, TheImagesArePngsOfTheirSizeIn8BitRgbaStoredUncompressed) {
    for (int side : {34, 32, 16}) {
        const QString path = side == 34 ? QStringLiteral(":/images/main.png")
                                        : QStringLiteral(":/images/Licensing_%1.png").arg(side);
        const QByteArray png = contents(path);
        ASSERT_TRUE(png.startsWith("\x89PNG\r\n\x1a\n") && png.mid(12, 4) == "IHDR") << side;
        EXPECT_EQ(qFromBigEndian<quint32>(png.constData() + 16), quint32(side));
        EXPECT_EQ(qFromBigEndian<quint32>(png.constData() + 20), quint32(side));
        EXPECT_EQ(int(png[24]), 8) << side; // bit depth
        EXPECT_EQ(int(png[25]), 6) << side; // colour type RGBA
        QImage image(path);
        EXPECT_EQ(image.size(), QSize(side, side));
        EXPECT_TRUE(image.hasAlphaChannel());
    }
}

TEST(QetResources, TheFormIsTheDescribedDesignerForm) {
    const QByteArray ui = contents(QStringLiteral(":/forms/test.ui"));
    EXPECT_EQ(ui.size(), 657);
    QDomDocument doc;
    ASSERT_TRUE(doc.setContent(ui));
    auto child = [](const QDomNode& n, const char* tag) {
        return n.firstChildElement(QString::fromLatin1(tag));
    };
    // A one-line picture of an element: tag, class, name and text.
    auto describe = [](const QDomElement& e) {
        return (e.tagName() + QLatin1Char(' ') + e.attribute(QStringLiteral("class")) +
                QLatin1Char(' ') + e.attribute(QStringLiteral("name")))
            .toStdString();
    };
    QDomElement root = doc.documentElement();
    EXPECT_EQ(root.attribute(QStringLiteral("version")), QStringLiteral("4.0"));
    EXPECT_EQ(child(root, "class").text(), QStringLiteral("Form"));
    EXPECT_TRUE(child(root, "resources").firstChild().isNull());
    EXPECT_TRUE(child(root, "connections").firstChild().isNull());

    QDomElement form = child(root, "widget");
    EXPECT_EQ(describe(form), "widget QWidget Form");
    QDomElement geometry = child(form, "property");
    EXPECT_EQ(describe(geometry), "property  geometry");
    EXPECT_EQ(geometry.text(), QStringLiteral("00400300")); // x, y, width, height
    QDomElement title = geometry.nextSiblingElement(QStringLiteral("property"));
    EXPECT_EQ(describe(title) + " " + title.text().toStdString(), "property  windowTitle Form");

    QDomElement layout = child(form, "layout");
    EXPECT_EQ(layout.attribute(QStringLiteral("class")), QStringLiteral("QVBoxLayout"));
    QDomElement label = child(child(layout, "item"), "widget");
    QDomElement browser = child(child(layout, "item").nextSiblingElement(), "widget");
    EXPECT_EQ(describe(label), "widget QLabel label");
    EXPECT_EQ(describe(browser), "widget QTextBrowser textBrowser");
    QDomElement text = child(child(label, "property"), "string");
    EXPECT_EQ(text.text(), QStringLiteral("The Label Text"));
    EXPECT_EQ(text.attribute(QStringLiteral("comment")),
              QStringLiteral("Always expand the twisties"));
}

TEST(QetResources, RegistrationAndCleanUpAddAndRemoveTheCollection) {
    ASSERT_TRUE(QResource(QStringLiteral(":/images/main.png")).isValid());
    EXPECT_EQ(qCleanupResources_executables_QET_qrc(), 1);
    EXPECT_FALSE(QResource(QStringLiteral(":/images/main.png")).isValid());
    EXPECT_EQ(qInitResources_executables_QET_qrc(), 1);
    EXPECT_TRUE(QResource(QStringLiteral(":/images/main.png")).isValid());
    EXPECT_NE(zorvtest::readFile(QET_QRC_CPP).find("int version = 1;"), std::string::npos);
}

TEST(QetBinary, ExportsTheResourceFunctionsAndNeedsTheLoggingLibrary) {
    std::string symbols, dynamic;
    ASSERT_EQ(zorvtest::runProcess({"nm", "-DC", "--defined-only", QET_BINARY}, &symbols), 0);
    EXPECT_NE(symbols.find("qInitResources_executables_QET_qrc()"), std::string::npos);
    EXPECT_NE(symbols.find("qCleanupResources_executables_QET_qrc()"), std::string::npos);
    ASSERT_EQ(zorvtest::runProcess({"readelf", "-d", QET_BINARY}, &dynamic), 0);
    for (const char* lib : {"[libzorverrorLog.so.5]", "[libqetmain.so.5]", "[libQt5Xml.so.5]",
                            "[libQt5Script.so.5]", "[libQt5Network.so.5]"}) {
        EXPECT_NE(dynamic.find(lib), std::string::npos) << lib;
    }
}

} // namespace
