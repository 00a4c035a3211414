#include "scanning/ScanCommand.h"

#include "platform/foundation/Print.h"
#include "scanning/ScanParameters.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace tbx;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The record the application builds for A4, 300 dpi, CGRAY, AUTO content, no
// combining, with the source already resolved to "ADF".
ScanParam a4At300() {
    UIParams ui;
    ui.scanSourceIndex = 1;
    ui.resolutionIndex = 1;
    ui.saveFileName = "file";
    return scanParameters(ui, "/r");
}

Bytes identityTable() {
    Bytes t;
    for (int i = 0; i < 256; ++i) {
        t.push_back(std::uint8_t(i));
    }
    return t;
}

} // namespace

TEST(ScanCommand, TextCommandsOfTheWorkedExampleByteForByte) {
    ScanCommand cmd(a4At300());
    EXPECT_EQ(bytesOf(cmd.getDCommand()), (Bytes{0x1B, 'D', 0x0A, 'A', 'D', 'F', 0x0A, 0xC2, 0x80}));
    EXPECT_EQ(bytesOf(cmd.getSCommand()), (Bytes{0x1B, 'S', 0x0A, 'A', 'D', 'F', 0x0A, 0xC2, 0x80}));
    EXPECT_EQ(cmd.getICommand(), "\x1BI\nR=300,300\nM=CGRAY\nD=SIN\n\xC2\x80");
    EXPECT_EQ(cmd.getXCommand(), bytesOf("\x1BX\nR=300,300\nM=CGRAY\nT=AUTO\nC=JPEG\nJ=MID\nB=50\nN=50\n"
                                         "A=0,0,2432,3441\nD=SIN\nIDCard=0\n"));
}

TEST(ScanCommand, TraceLinesOfDAndX) {
    TraceCapture trace;
    ScanCommand cmd(a4At300());
    cmd.getDCommand();
    cmd.getSCommand();
    cmd.getICommand();
    const Bytes x = cmd.getXCommand();
    const std::string expected = "selected source = ADF\ncmd = " + std::string(x.begin(), x.end()) + "\n";
    EXPECT_EQ(trace.text(), expected);
}

TEST(ScanCommand, CombiningShapesTheAreaAndPageLines) {
    ScanParam p = a4At300();
    p.combineType = "IDCard";
    EXPECT_EQ(ScanCommand(p).getXCommand(), bytesOf("\x1BX\nR=300,300\nM=CGRAY\nT=AUTO\nC=JPEG\nJ=MID\nB=50\n"
                                                    "N=50\nA=0,0,2432,1720\nD=SIN\nPages=2\nIDCard=1\n"));
    for (const char* combine : {"CombinVertical", "CombinHorizontal"}) {
        p.combineType = combine;
        EXPECT_EQ(ScanCommand(p).getXCommand(),
                  bytesOf("\x1BX\nR=300,300\nM=CGRAY\nT=AUTO\nC=JPEG\nJ=MID\nB=50\n"
                          "N=50\nA=0,0,2432,3441\nD=SIN\nPages=2\nIDCard=0\n"));
    }
    // Odd heights are halved toward zero, negative ones too.
    p.combineType = "IDCard";
    p.h = -7;
    p.x = -3;
    const Bytes x = ScanCommand(p).getXCommand();
    EXPECT_NE(std::string(x.begin(), x.end()).find("\nA=-3,0,2432,-3\n"), std::string::npos);
}

TEST(ScanCommand, TextModeEndsWithTheGammaTableAndStatusByte) {
    UIParams ui;
    ui.colorModeIndex = 2; // TEXT
    ui.resolutionIndex = 1;
    ui.saveFileName = "file";
    ScanCommand cmd(scanParameters(ui, "/r"));
    const std::string text = "\x1BX\nR=300,300\nM=TEXT\nT=AUTO\nC=BMP\nJ=MID\nB=50\nN=50\n"
                             "A=0,0,2432,3441\nD=SIN\nIDCard=0\n";
    Bytes expected = bytesOf(text + "GAMA=");
    const Bytes table = identityTable();
    expected.insert(expected.end(), table.begin(), table.end());
    expected.push_back(0x80);
    const Bytes x = cmd.getXCommand();
    EXPECT_EQ(x, expected);
    EXPECT_EQ(x.size(), text.size() + 262);

    // Grey and colour modes carry no table and no 0x80 byte.
    cmd.param.mode = "GRAY256";
    const Bytes grey = cmd.getXCommand();
    EXPECT_EQ(grey.back(), 0x0A);
    EXPECT_EQ(std::count(grey.begin(), grey.end(), 0x80), 0);
}

TEST(ScanCommand, BuildersSeeTheResolvedSource) {
    UIParams ui;
    ui.saveFileName = "file";
    auto cmd = std::make_shared<ScanCommand>(scanParameters(ui, "/r"));
    EXPECT_EQ(cmd->getSCommand(), "\x1BS\nAUTO\n\xC2\x80");
    cmd->param.source = "FB"; // what the paper-source check does
    EXPECT_EQ(cmd->getSCommand(), "\x1BS\nFB\n\xC2\x80");
    EXPECT_EQ(cmd->getDCommand(), "\x1B"
                                  "D\nFB\n\xC2\x80");

    ScanParam other = cmd->param;
    other.resolution = "600,600";
    cmd->setScanParam(other);
    EXPECT_EQ(cmd->getICommand(), "\x1BI\nR=600,600\nM=CGRAY\nD=SIN\n\xC2\x80");
}

TEST(ScanCommand, GammaTable) {
    EXPECT_EQ(ScanCommand::gammaTable(1), identityTable());
    const Bytes two = ScanCommand::gammaTable(2);
    ASSERT_EQ(two.size(), 256u);
    EXPECT_EQ(two[64], 127); // pow(64/255, 0.5) * 255 = 127.75
    EXPECT_EQ(two[0], 0);
    EXPECT_EQ(two[255], 255);
    // Exponents that make no sense send the plain table rather than garbage.
    EXPECT_EQ(ScanCommand::gammaTable(0), identityTable());
    EXPECT_EQ(ScanCommand::gammaTable(-4), identityTable());
}

TEST(ScanParam, EqualityAndHashCoverEveryField) {
    const ScanParam a = a4At300();
    ScanParam b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<ScanParam>{}(a), std::hash<ScanParam>{}(b));
    b.rotateAngle = 90;
    EXPECT_NE(a, b);
    b = a;
    b.filePath += "x";
    EXPECT_NE(a, b);
}
