// The compiled resource collection, the very objects QET links, read back
// through Qt; and what the QET binary exports and needs.

#include "QetTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDomDocument>
#include <QImage>
#include <QResource>
#include <QtEndian>

int qInitResources_executables_QET_qrc();
int qCleanupResources_executables_QET_qrc();

namespace {

struct Entry {
    const char* path;
    int size; // pixels a side
};

const Entry kImages[] = {{":/images/main.png", 34},
                         {":/images/Licensing_32.png", 32},
                         {":/images/Licensing_16.png", 16}};

QByteArray contents(const QResource& r) {
    return QByteArray(reinterpret_cast<const char*>(r.data()), static_cast<int>(r.size()));
}

TEST(QetResources, TheImagesArePngsOfTheirSizeIn8BitRgbaStoredUncompressed) {
    for (const Entry& e : kImages) {
        QResource r(QString::fromLatin1(e.path));
        ASSERT_TRUE(r.isValid()) << e.path;
        EXPECT_EQ(r.compressionAlgorithm(), QResource::NoCompression) << e.path;
        const QByteArray png = contents(r);
        ASSERT_GT(png.size(), 33) << e.path;
        ASSERT_TRUE(png.startsWith("\x89PNG\r\n\x1a\n")) << e.path;
        ASSERT_EQ(png.mid(12, 4), QByteArray("IHDR")) << e.path;
        EXPECT_EQ(qFromBigEndian<quint32>(png.constData() + 16), quint32(e.size)) << e.path;
        EXPECT_EQ(qFromBigEndian<quint32>(png.constData() + 20), quint32(e.size)) << e.path;
        EXPECT_EQ(int(png[24]), 8) << e.path; // bit depth
        EXPECT_EQ(int(png[25]), 6) << e.path; // colour type: RGBA

        QImage image(QString::fromLatin1(e.path));
        ASSERT_FALSE(image.isNull()) << e.path;
        EXPECT_EQ(image.size(), QSize(e.size, e.size)) << e.path;
        EXPECT_TRUE(image.hasAlphaChannel()) << e.path;
    }
}

TEST(QetResources, TheFormIsTheDescribedDesignerForm) {
    QResource r(QStringLiteral(":/forms/test.ui"));
    ASSERT_TRUE(r.isValid());
    EXPECT_EQ(r.compressionAlgorithm(), QResource::NoCompression);
    EXPECT_EQ(r.size(), 657);
    QDomDocument doc;
    ASSERT_TRUE(doc.setContent(contents(r)));
    QDomElement ui = doc.documentElement();
    EXPECT_EQ(ui.tagName(), QStringLiteral("ui"));
    EXPECT_EQ(ui.attribute(QStringLiteral("version")), QStringLiteral("4.0"));
    EXPECT_EQ(ui.firstChildElement(QStringLiteral("class")).text(), QStringLiteral("Form"));
    EXPECT_TRUE(ui.firstChildElement(QStringLiteral("resources")).firstChild().isNull());
    EXPECT_TRUE(ui.firstChildElement(QStringLiteral("connections")).firstChild().isNull());

    QDomElement form = ui.firstChildElement(QStringLiteral("widget"));
    EXPECT_EQ(form.attribute(QStringLiteral("class")), QStringLiteral("QWidget"));
    EXPECT_EQ(form.attribute(QStringLiteral("name")), QStringLiteral("Form"));
    QString title;
    QDomElement rect;
    for (QDomElement p = form.firstChildElement(QStringLiteral("property")); !p.isNull();
         p = p.nextSiblingElement(QStringLiteral("property"))) {
        if (p.attribute(QStringLiteral("name")) == QLatin1String("windowTitle")) {
            title = p.text();
        } else if (p.attribute(QStringLiteral("name")) == QLatin1String("geometry")) {
            rect = p.firstChildElement(QStringLiteral("rect"));
        }
    }
    EXPECT_EQ(title, QStringLiteral("Form"));
    ASSERT_FALSE(rect.isNull());
    EXPECT_EQ(rect.firstChildElement(QStringLiteral("x")).text(), QStringLiteral("0"));
    EXPECT_EQ(rect.firstChildElement(QStringLiteral("y")).text(), QStringLiteral("0"));
    EXPECT_EQ(rect.firstChildElement(QStringLiteral("width")).text(), QStringLiteral("400"));
    EXPECT_EQ(rect.firstChildElement(QStringLiteral("height")).text(), QStringLiteral("300"));

    QDomElement layout = form.firstChildElement(QStringLiteral("layout"));
    EXPECT_EQ(layout.attribute(QStringLiteral("class")), QStringLiteral("QVBoxLayout"));
    QStringList children;
    QDomElement label;
    for (QDomElement item = layout.firstChildElement(QStringLiteral("item")); !item.isNull();
         item = item.nextSiblingElement(QStringLiteral("item"))) {
        QDomElement w = item.firstChildElement(QStringLiteral("widget"));
        children << w.attribute(QStringLiteral("class")) + QLatin1Char(':') +
                        w.attribute(QStringLiteral("name"));
        if (w.attribute(QStringLiteral("name")) == QLatin1String("label")) {
            label = w;
        }
    }
    EXPECT_EQ(children, (QStringList{QStringLiteral("QLabel:label"),
                                     QStringLiteral("QTextBrowser:textBrowser")}));
    QDomElement text = label.firstChildElement(QStringLiteral("property"))
                           .firstChildElement(QStringLiteral("string"));
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
    // Written in format version 1.
    const std::string generated = zorvtest::readFile(QET_QRC_CPP);
    EXPECT_NE(generated.find("int version = 1;"), std::string::npos);
}

TEST(QetBinary, ExportsTheResourceFunctionsAndNeedsTheLoggingLibrary) {
    std::string symbols;
    ASSERT_EQ(zorvtest::runProcess({"nm", "-DC", "--defined-only", QET_BINARY}, &symbols), 0);
    EXPECT_NE(symbols.find("qInitResources_executables_QET_qrc()"), std::string::npos);
    EXPECT_NE(symbols.find("qCleanupResources_executables_QET_qrc()"), std::string::npos);

    std::string dynamic;
    ASSERT_EQ(zorvtest::runProcess({"readelf", "-d", QET_BINARY}, &dynamic), 0);
    for (const char* lib : {"[libzorverrorLog.so.5]", "[libqetmain.so.5]", "[libQt5Xml.so.5]",
                            "[libQt5Script.so.5]", "[libQt5Network.so.5]"}) {
        EXPECT_NE(dynamic.find(lib), std::string::npos) << lib;
    }
}

} // namespace
