// The start-up error box and the application's standard error boxes.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>

#include "ui/ErrorBoxes.h"

namespace zel {
namespace {

TEST(ErrorBoxes, StartupBoxIsTheModalError) {
    const auto box = MakeStartupErrorBox();
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Error"));
    EXPECT_EQ(box->text(), QString::fromUtf8("No se encontro Srv_Zel.exe en ejecución"));
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->buttons().front()->text(), QStringLiteral("OK"));
    EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
}

TEST(ErrorBoxes, StandardBoxAddsAFullStopAfterWhatSortsAfterIt) {
    const std::pair<const char*, const char*> rows[] = {
        {"Asynchronous socket error 10053", "Asynchronous socket error 10053."},
        {"Windows socket error: 98, on API 'bind'", "Windows socket error: 98, on API 'bind'"},
        {"Ya termina.", "Ya termina."},
        {"Falla en la conexión", "Falla en la conexión."},
        {"Termina en coma,", "Termina en coma,"},
    };
    ApplicationErrorBoxes boxes;
    for (const auto& [message, shown] : rows) {
        ASSERT_TRUE(boxes.Show(message));
        QMessageBox& box = *boxes.Open().back();
        EXPECT_EQ(box.text(), QString::fromUtf8(shown)) << message;
        EXPECT_EQ(box.windowTitle(), QStringLiteral("ZEL_RV7300"));
        EXPECT_EQ(box.icon(), QMessageBox::Critical);
        EXPECT_FALSE(box.isModal());
        EXPECT_TRUE(box.isVisible());
    }
    EXPECT_EQ(boxes.Open().size(), std::size(rows));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(ErrorBoxes, OneBoxPerMessageAndABoundOnTheScreen) {
    ApplicationErrorBoxes boxes;
    EXPECT_TRUE(boxes.Show("Asynchronous socket error 10054"));
    EXPECT_TRUE(boxes.Show("Asynchronous socket error 10054"));
    EXPECT_EQ(boxes.Open().size(), 1u);
    for (int i = 0; i < ApplicationErrorBoxes::MaxOpen + 5; ++i) {
        boxes.Show("error " + std::to_string(i));
    }
    EXPECT_EQ(boxes.Open().size(), static_cast<std::size_t>(ApplicationErrorBoxes::MaxOpen));
    EXPECT_FALSE(boxes.Show("one too many"));
    boxes.Open().front()->button(QMessageBox::Ok)->click();  // the user closes one
    EXPECT_TRUE(boxes.Show("one too many"));
    EXPECT_EQ(boxes.Open().back()->text(), QStringLiteral("one too many."));
}

}  // namespace
}  // namespace zel
