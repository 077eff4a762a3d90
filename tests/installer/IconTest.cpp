#include <gtest/gtest.h>

#include <set>

#include <QImage>
#include <QImageReader>

// The icon drawn at build time must be a real .icns that Qt's image plugins
// read, in every size it was packed with.
TEST(InstallerIcon, ReadsEverySizeThroughTheImagePlugins) {
    ASSERT_TRUE(QImageReader::supportedImageFormats().contains("icns"));
    QImageReader reader(QStringLiteral(CORVANTIS_TEST_INSTALLER_ICON));
    ASSERT_TRUE(reader.canRead()) << reader.errorString().toStdString();
    std::set<int> widths;
    for (int index = 0; index < reader.imageCount(); ++index) {
        ASSERT_TRUE(reader.jumpToImage(index));
        QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
        EXPECT_EQ(image.width(), image.height());
        widths.insert(image.width());
        // Opaque blue in the middle of the square, transparent in the corner.
        if (image.width() >= 128) {
            EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
            QRgb side = image.pixel(image.width() / 8, image.height() / 2);
            EXPECT_EQ(qAlpha(side), 255);
            EXPECT_GT(qBlue(side), qRed(side));
        }
    }
    EXPECT_EQ(widths, (std::set<int>{16, 32, 48, 128}));
}
