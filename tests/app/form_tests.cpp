// The window as it first opens, and the form that describes it.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QStatusBar>

#include "app_test_support.h"

namespace {

class FormTest : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
};

TEST_F(FormTest, FirstOpenShowsTheDecodedDefaultProfile)
{
    TForm1 form;

    EXPECT_EQ(form.windowTitle(), "ZR9 UART Profile Config V1.3");
    EXPECT_EQ(form.cmbComSel->count(), 0);
    EXPECT_EQ(form.cmbComSel->currentText(), " ");
    EXPECT_EQ(form.cmbComSel->currentIndex(), -1);
    EXPECT_EQ(form.btnConnect->text(), "Connect");
    EXPECT_TRUE(form.btnConnect->isEnabled());
    EXPECT_EQ(form.Version->text(), "Version");
    EXPECT_EQ(form.LocalName->text(), "BLE UART");

    const QLineEdit* local[] = {form.LocalAddr0, form.LocalAddr1, form.LocalAddr2,
                                form.LocalAddr3, form.LocalAddr4, form.LocalAddr5};
    const QLineEdit* peer[] = {form.PeerAddr0, form.PeerAddr1, form.PeerAddr2,
                               form.PeerAddr3, form.PeerAddr4, form.PeerAddr5};
    const char* localTexts[] = {"02", "A2", "01", "A2", "00", "A1"};
    const char* peerTexts[] = {"02", "B2", "01", "B2", "00", "B1"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(local[i]->text(), localTexts[i]) << "LocalAddr" << i;
        EXPECT_EQ(peer[i]->text(), peerTexts[i]) << "PeerAddr" << i;
    }
    EXPECT_EQ(form.CfgPwd->text(), "6874");
    EXPECT_EQ(form.PinCode->text(), "865847");
    EXPECT_FALSE(form.bonding->isChecked());
    EXPECT_TRUE(form.Security->isChecked());
    EXPECT_TRUE(form.ckPeerAddr->isChecked());
    EXPECT_FALSE(form.ModeAt->isChecked());
    EXPECT_TRUE(form.ModeTr->isChecked());
    EXPECT_FALSE(form.BtRoleM->isChecked());
    EXPECT_TRUE(form.BtRoleS->isChecked());
    EXPECT_FALSE(form.RtsEnable->isChecked());
    EXPECT_TRUE(form.RtsDisable->isChecked());
    EXPECT_EQ(form.UartBaud->currentIndex(), 1);
    EXPECT_EQ(form.UartBaud->currentText(), "9600 BPS");
    EXPECT_TRUE(form.ParityN->isChecked());
    EXPECT_FALSE(form.ParityE->isChecked());
    EXPECT_FALSE(form.btnRead->isEnabled());
    EXPECT_FALSE(form.btnWrite->isEnabled());
    EXPECT_FALSE(form.btnReboot->isEnabled());
    EXPECT_EQ(form.ProgressBar->minimum(), 0);
    EXPECT_EQ(form.ProgressBar->maximum(), 100);
    EXPECT_EQ(form.ProgressBar->value(), 0);
    EXPECT_TRUE(form.lblPortStatus->text().isEmpty());
    EXPECT_FALSE(form.Timer.isActive());
    EXPECT_EQ(form.Timer.interval(), 1000);
}

TEST_F(FormTest, EveryComponentSitsWhereTheDesignPutsIt)
{
    struct Placement {
        const char* name;
        const char* kind;
        int left, top, width, height;
    };
    const Placement placements[] = {
        {"Label2", "QLabel", 34, 25, 46, 13},          {"Label3", "QLabel", 155, 366, 54, 13},
        {"Label5", "QLabel", 16, 75, 68, 13},          {"Label6", "QLabel", 112, 231, 86, 13},
        {"Label8", "QLabel", 180, 404, 29, 13},        {"Label10", "QLabel", 147, 119, 70, 13},
        {"Label12", "QLabel", 97, 334, 112, 13},       {"Version", "QLabel", 383, 25, 35, 13},
        {"Label7", "QLabel", 177, 263, 32, 13},        {"Label13", "QLabel", 135, 179, 82, 13},
        {"lableD", "QLabel", 174, 300, 35, 13},        {"Label1", "QLabel", 112, 207, 75, 13},
        {"cmbComSel", "CPortCombo", 122, 22, 79, 21},  {"btnConnect", "QPushButton", 238, 22, 114, 32},
        {"btnRead", "QPushButton", 101, 440, 72, 42},  {"btnWrite", "QPushButton", 218, 437, 73, 45},
        {"btnReboot", "QPushButton", 330, 437, 73, 45}, {"UartBaud", "QComboBox", 220, 363, 116, 21},
        {"LocalName", "QLineEdit", 135, 69, 188, 28},  {"PinCode", "QLineEdit", 231, 228, 66, 21},
        {"CfgPwd", "QLineEdit", 231, 172, 47, 21},     {"GroupBox1", "QGroupBox", 220, 320, 189, 32},
        {"RtsEnable", "QRadioButton", 9, 13, 92, 10},  {"RtsDisable", "QRadioButton", 98, 13, 95, 10},
        {"GroupBox2", "QGroupBox", 220, 392, 157, 35}, {"ParityN", "QRadioButton", 16, 8, 63, 17},
        {"ParityE", "QRadioButton", 88, 11, 66, 11},   {"GroupBox5", "QGroupBox", 224, 257, 185, 28},
        {"BtRoleM", "QRadioButton", 3, 13, 82, 10},    {"BtRoleS", "QRadioButton", 91, 13, 73, 10},
        {"GroupBox4", "QGroupBox", 224, 289, 185, 28}, {"ModeAt", "QRadioButton", 3, 13, 82, 10},
        {"ModeTr", "QRadioButton", 91, 13, 86, 10},    {"PeerAddr0", "QLineEdit", 232, 144, 26, 21},
        {"PeerAddr1", "QLineEdit", 267, 144, 26, 21},  {"PeerAddr2", "QLineEdit", 302, 144, 27, 21},
        {"PeerAddr3", "QLineEdit", 337, 144, 27, 21},  {"PeerAddr4", "QLineEdit", 372, 144, 27, 21},
        {"PeerAddr5", "QLineEdit", 408, 144, 27, 21},  {"LocalAddr0", "QLineEdit", 232, 112, 26, 21},
        {"LocalAddr1", "QLineEdit", 267, 112, 26, 21}, {"LocalAddr2", "QLineEdit", 302, 112, 27, 21},
        {"LocalAddr3", "QLineEdit", 337, 112, 27, 21}, {"LocalAddr4", "QLineEdit", 372, 112, 27, 21},
        {"LocalAddr5", "QLineEdit", 408, 112, 27, 21}, {"Security", "QCheckBox", 204, 234, 13, 14},
        {"bonding", "QCheckBox", 204, 210, 13, 14},    {"ckPeerAddr", "QCheckBox", 144, 144, 73, 17},
        {"ProgressBar", "QProgressBar", 0, 488, 457, 19},
    };
    TForm1 form;
    ShowActive(form);

    for (const Placement& p : placements) {
        const auto* widget = form.findChild<QWidget*>(p.name);
        ASSERT_NE(widget, nullptr) << p.name;
        EXPECT_STREQ(widget->metaObject()->className(), p.kind) << p.name;
        if (const auto* label = qobject_cast<const QLabel*>(widget)) {
            // Labels size themselves to their text in the font that stands in.
            EXPECT_EQ(label->pos(), QPoint(p.left, p.top)) << p.name;
            EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text())) << p.name;
        } else {
            EXPECT_EQ(widget->geometry(), QRect(p.left, p.top, p.width, p.height)) << p.name;
        }
    }
    // The status bar fills the bottom of the window below the progress bar.
    EXPECT_EQ(form.StatusBar1->geometry(), QRect(0, 507, 459, 19));
    EXPECT_EQ(form.ClientArea->geometry().topLeft(), QPoint(0, 0));
    EXPECT_EQ(form.frameGeometry().topLeft(), QPoint(342, 133));
}

TEST_F(FormTest, LimitsItemsAndTabOrderFollowTheDesign)
{
    TForm1 form;

    EXPECT_EQ(form.LocalName->maxLength(), 16);
    EXPECT_EQ(form.PinCode->maxLength(), 6);
    EXPECT_EQ(form.CfgPwd->maxLength(), 4);
    for (const QLineEdit* pair : {form.LocalAddr0, form.LocalAddr5, form.PeerAddr0, form.PeerAddr5})
        EXPECT_EQ(pair->maxLength(), 2) << pair->objectName().toStdString();
    EXPECT_EQ(form.LocalName->property("hint").toString(), "Device Name");
    EXPECT_EQ(form.PeerAddr1->property("hint").toString(), "BT ADDRESS UAP");

    const QStringList baudItems = {"4800 BPS",  "9600 BPS",  "14400 BPS",  "19200 BPS",
                                   "28800 BPS", "38400 BPS", "57600 BPS",  "76800 BPS",
                                   "115200 BPS", "",         " "};
    ASSERT_EQ(form.UartBaud->count(), baudItems.size());
    for (int i = 0; i < form.UartBaud->count(); ++i)
        EXPECT_EQ(form.UartBaud->itemText(i), baudItems[i]) << i;

    // Each pair lives in its own group box, so the buttons of one pair
    // exclude each other and nothing else.
    EXPECT_EQ(form.RtsEnable->parent(), form.GroupBox1);
    EXPECT_EQ(form.RtsDisable->parent(), form.GroupBox1);
    EXPECT_EQ(form.ParityN->parent(), form.GroupBox2);
    EXPECT_EQ(form.ParityE->parent(), form.GroupBox2);
    EXPECT_EQ(form.BtRoleM->parent(), form.GroupBox5);
    EXPECT_EQ(form.BtRoleS->parent(), form.GroupBox5);
    EXPECT_EQ(form.ModeAt->parent(), form.GroupBox4);
    EXPECT_EQ(form.ModeTr->parent(), form.GroupBox4);

    const QStringList tabOrder = {
        "cmbComSel",  "btnConnect", "btnRead",    "btnWrite",   "UartBaud",   "LocalName",
        "PinCode",    "RtsEnable",  "RtsDisable", "ParityN",    "ParityE",    "PeerAddr0",
        "PeerAddr1",  "PeerAddr2",  "BtRoleM",    "BtRoleS",    "LocalAddr0", "LocalAddr1",
        "LocalAddr2", "Security",   "CfgPwd",     "PeerAddr3",  "PeerAddr4",  "PeerAddr5",
        "LocalAddr3", "LocalAddr4", "LocalAddr5", "ckPeerAddr", "ModeAt",     "ModeTr",
        "btnReboot",  "bonding"};
    QStringList chain;
    QWidget* widget = form.cmbComSel;
    do {
        if (tabOrder.contains(widget->objectName()) && !chain.contains(widget->objectName()))
            chain << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != form.cmbComSel);
    EXPECT_EQ(chain, tabOrder);
    EXPECT_EQ(form.ProgressBar->focusPolicy(), Qt::NoFocus);
}

TEST_F(FormTest, EveryControlHasAUniqueNameForScreenReaders)
{
    TForm1 form;
    QMap<QString, QString> nameOf;  // each control a user can reach, each group box and Version
    QList<QAccessibleInterface*> pending = {QAccessible::queryAccessibleInterface(&form)};
    while (!pending.isEmpty()) {
        QAccessibleInterface* node = pending.takeFirst();
        const bool combo = node->role() == QAccessible::ComboBox;  // its field and list are parts of it
        for (int i = 0; !combo && i < node->childCount(); ++i)
            pending << node->child(i);
        // Qt on Linux names a combo box after its item; a reader says the label it is "labelled by".
        QAccessibleInterface* named = combo ? node->relations(QAccessible::Label).value(0).first : node;
        if (node->state().focusable || node->role() == QAccessible::Grouping || node->object() == form.Version)
            nameOf[node->object()->objectName()] = named ? named->text(QAccessible::Name) : "";
    }
    const QStringList names = nameOf.values();
    EXPECT_EQ(names.size(), 37);
    EXPECT_FALSE(names.contains("")) << nameOf.key("").toStdString();
    EXPECT_EQ(QSet(names.begin(), names.end()).size(), names.size()) << names.join(", ").toStdString();
    for (const QString row : {"Local", "Peer"})
        for (int byte = 1; byte <= 6; ++byte)
            EXPECT_EQ(nameOf[row + "Addr" + QString::number(byte - 1)].toStdString(),
                      (row + " address, byte %1 of 6").arg(byte).toStdString());
}

}  // namespace
