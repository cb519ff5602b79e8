#include <gtest/gtest.h>

#include <string>

#include "qz/DeviceErrors.h"

namespace nork::qz {
namespace {

TEST(DescribeDeviceError, ExamplesAppendToTheText) {
    std::u16string text = u"Last error: ";
    describeCommand(0x008B0001, text);
    describeError(0x008B0001, text);
    EXPECT_EQ(text, u"Last error: Command: SS__Start_Secure_Access Error code: NO_SEQURE_CHANNEL");

    struct Case {
        std::uint32_t code;
        const char16_t* command;
        const char16_t* error;
    };
    const Case cases[] = {
        {0x00A40002, u"Command: PRA__Open", u" Error code: WRONG_PSWD"},
        {0x00A40003, u"Command: PRA__Open", u" Error code: UNKNOWN"},  // two reasons at once
        {0x01230000, u"Command: Unknown", u" Error code: UNKNOWN"},
        {0x00000000, u"Command: SD__Query_Service_CMD", u" Error code: NO_ERROR"},
        {0x006A0001, u"Command: Unknown", u" Error code: UNKNOWN"},
        {0x01030001, u"Command: Unknown", u" Error code: UNKNOWN"},
        {0x00660040, u"Command: HA__Remove_Read_Password", u" Error code: UNKNOWN"},
        {0xFFFF0001, u"Command: Unknown", u" Error code: UNKNOWN"},
        // The same reason bit names different things per command.
        {0x00620004, u"Command: HA__Write_Protected_Page", u" Error code: PAGE_UNPROTECTED"},
        {0x00630004, u"Command: HA__Read_Protected_Page",
         u" Error code: WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    };
    for (const auto& c : cases) {
        std::u16string command, error;
        describeCommand(c.code, command);
        describeError(c.code, error);
        EXPECT_EQ(command, c.command) << std::hex << c.code;
        EXPECT_EQ(error, c.error) << std::hex << c.code;
    }
}

// Callers print these names as they are, so a code without a name must still
// give a string.
TEST(DescribeDeviceError, CodesWithoutANameGiveTheUnknownName) {
    EXPECT_EQ(std::u16string(commandName(0x0010)), u"Unknown");
    EXPECT_EQ(std::u16string(commandName(0x006A)), u"Unknown");
    EXPECT_EQ(std::u16string(commandName(0xFFFF)), u"Unknown");
    EXPECT_EQ(std::u16string(commandName(0x00A4)), u"PRA__Open");
    EXPECT_EQ(std::u16string(errorName(0x12345678)), u"UNKNOWN");
    EXPECT_EQ(std::u16string(errorName(0x00A40003)), u"UNKNOWN");
    EXPECT_EQ(std::u16string(errorName(0xFFFFFFFF)), u"UNKNOWN");
    EXPECT_EQ(std::u16string(errorName(0x00A40002)), u"WRONG_PSWD");
}

TEST(DescribeDeviceError, EveryCatalogueCommandName) {
    struct Case {
        std::uint16_t op;
        const char16_t* name;
    };
    const Case cases[] = {
        {0x0000, u"SD__Query_Service_CMD"},
        {0x0020, u"CFG__Calculate_Closest_Valid_Domain_Size"},
        {0x0021, u"CFG__Get_Device_Configuration"},
        {0x0022, u"CFG__Set_Device_Configuration"},
        {0x0023, u"CFG__Domain_Add"},
        {0x0024, u"CFG__Domain_Remove"},
        {0x0025, u"CFG__Domain_Change_Type"},
        {0x0026, u"CFG__Domain_Set_Flags"},
        {0x0040, u"CD__Lock"},
        {0x0041, u"CD__Unlock"},
        {0x0042, u"CD__WriteBuffer"},
        {0x0060, u"HA__Write_Page"},
        {0x0061, u"HA__Read_Page"},
        {0x0062, u"HA__Write_Protected_Page"},
        {0x0063, u"HA__Read_Protected_Page"},
        {0x0064, u"HA__Set_Write_Password"},
        {0x0065, u"HA__Set_Read_Password"},
        {0x0066, u"HA__Remove_Read_Password"},
        {0x0067, u"HA__Remove_Write_Password"},
        {0x0068, u"HA__Get_Current_Number_of_Attempts"},
        {0x0069, u"HA__Clear_Page_Passwords"},
        {0x006A, u"Unknown"},
        {0x0080, u"SS__Set_Current_Cipher_Suite"},
        {0x0081, u"SS__RSA_Get_Device_Public_Key"},
        {0x0082, u"SS__RSA_Set_Host_Public_Key"},
        {0x0083, u"SS__RSA_Set_Host_Random_Challenge"},
        {0x0084, u"SS__RSA_Verify_Device_Public_Key"},
        {0x0085, u"SS__RSA_Get_Device_Random_Challenge"},
        {0x0086, u"SS__RSA_Verify_Host_Public_Key"},
        {0x0087, u"SS__RSA_Set_Host_Secret_Number"},
        {0x0088, u"SS__RSA_Get_Device_Secret_Number"},
        {0x0089, u"SS__Terminate_Secure_Session"},
        {0x008A, u"SS__Get_Secure_Session_Type"},
        {0x008B, u"SS__Start_Secure_Access"},
        {0x00A0, u"PRA__Get_Area_Parameters"},
        {0x00A1, u"PRA__Get_Configuration_Boundaries"},
        {0x00A2, u"PRA__Configure_Private_Area"},
        {0x00A3, u"PRA__Calculate_Closest_Valid_Size"},
        {0x00A4, u"PRA__Open"},
        {0x00A5, u"PRA__Close"},
        {0x00A6, u"PRA__Change_Password"},
        {0x00A7, u"PRA__Make_SecureDisk_Public"},
        {0x00C0, u"TH__Create_Trusted_Host_ID"},
        {0x00C1, u"TH__Get_Trusted_Host_ID"},
        {0x00C2, u"TH__Open_Private_Area"},
        {0x00E0, u"CE__3DES_Encrypt_Decrypt_Data"},
        {0x00E1, u"CE__3DES_Get_Encrypt_Decrypt_Data"},
        {0x00E2, u"CE__3DES_Generate_Random_Number"},
        {0x0123, u"Unknown"},
        {0x0100, u"AUX__Ready_Not_Ready_Pulse"},
        {0x0101, u"AUX__Detach_Attach"},
        {0x0102, u"AUX__Get_Error_Code"},
        {0x0103, u"Unknown"},
    };
    for (const auto& c : cases) {
        std::u16string text;
        describeCommand(static_cast<std::uint32_t>(c.op) << 16 | 0x0001, text);
        EXPECT_EQ(text, std::u16string(u"Command: ") + c.name) << std::hex << c.op;
    }
}

TEST(DescribeDeviceError, EveryErrorName) {
    struct Case {
        std::uint32_t code;
        const char16_t* name;
    };
    const Case cases[] = {
        {0x00000000u, u"NO_ERROR"},
        {0x00000001u, u"ILLEGAL_SERVICE_TYPE"},
        {0x00220001u, u"PRIVATE_AREA_CNFG_IN_AFFECT_DOMAIN"},
        {0x00220002u, u"AREA_SIZE_NOT_LEGAL"},
        {0x00220004u, u"CD_LOCKED_BY_VENDOR"},
        {0x00220008u, u"NEW_CNFG_NOT_SET_HW"},
        {0x00220010u, u"DOMAIN_TYPE_NOT_SUPPORTED"},
        {0x00220020u, u"INVALID_DOMAIN_INDEX"},
        {0x00230001u, u"AREA_SIZE_NOT_LEGAL"},
        {0x00230002u, u"NEW_CNFG_NOT_SET"},
        {0x00230004u, u"DOMAIN_TYPE_NOT_SUPPORTED"},
        {0x00230008u, u"INVALID_DOMAIN_INDEX"},
        {0x00240001u, u"NEW_CNFG_NOT_SET"},
        {0x00240002u, u"INVALID_DOMAIN_INDEX"},
        {0x00240004u, u"PRIVATE_AREA_CNFG_IN_AFFECT_DOMAIN"},
        {0x00250001u, u"SPECIFIED_INDEX_NOT_EXIST"},
        {0x00250002u, u"NEW_CNFG_NOT_SET"},
        {0x00250004u, u"CD_LOCKED_BY_VENDOR"},
        {0x00250008u, u"PRIVATE_AREA_CNFG_IN_AFFECT_DOMAIN"},
        {0x00250010u, u"DOMAIN_TYPE_NOT_SUPPORTED"},
        {0x00260001u, u"SPECIFIED_INDEX_NOT_EXIST"},
        {0x00260002u, u"NEW_CNFG_NOT_SET"},
        {0x00260004u, u"DOMAIN_TYPE_NOT_SUPPORTED"},
        {0x00400001u, u"LOGICAL_UNIT_NOT_EXIST"},
        {0x00400002u, u"ALREADY_LOCKED"},
        {0x00400004u, u"HW_PROBLEM_IN_OWNER_KEY_STORAGE_CD_UNLOCK"},
        {0x00410001u, u"OWNER_SECURE_SESSION_NOT_OPEN"},
        {0x00420001u, u"CD_IS_LOCKED"},
        {0x00420002u, u"DOMAIN_IS_NOT_CD"},
        {0x00420004u, u"OUT_OF_CD_AREA"},
        {0x00600001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00600002u, u"PAGE_WRITE_PSSWD_PROTECTED"},
        {0x00600004u, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
        {0x00610001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00610002u, u"TAG_NOT_COMPATIBLE"},
        {0x00610004u, u"PAGE_READ_PSSWD_PROTECTED"},
        {0x00610008u, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
        {0x00620001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00620002u, u"INCORRECT_PSWD"},
        {0x00620004u, u"PAGE_UNPROTECTED"},
        {0x00620008u, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
        {0x00620010u, u"CURRENTNOA_EQ_TO_MAXNOA"},
        {0x00630001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00630002u, u"INCORRECT_PSWD"},
        {0x00630004u, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
        {0x00630008u, u"PAGE_UNPROTECTED"},
        {0x00630010u, u"CURRENTNOA_EQ_TO_MAXNOA"},
        {0x00640001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00640002u, u"PAGE_WRITE_PSWD_PROTECT"},
        {0x00640004u, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
        {0x00650001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00650002u, u"PAGE_READ_PSWD_PROTECT"},
        {0x00650004u, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
        {0x00660001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00660002u, u"INCORRECT_PSWD"},
        {0x00660004u, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
        {0x00660008u, u"PAGE_UNPROTECTED"},
        {0x00660010u, u"CURRENTNOA_EQ_TO_MAXNOA"},
        {0x00670001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00670002u, u"INCORRECT_PSWD"},
        {0x00670004u, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
        {0x00670008u, u"PAGE_UNPROTECTED"},
        {0x00670010u, u"CURRENTNOA_EQ_TO_MAXNOA"},
        {0x00680001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00690001u, u"ILLEGAL_PAGE_NUMBER"},
        {0x00690002u, u"PAGE_NOT_PSWD_PROTECTED"},
        {0x00690004u, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
        {0x00800001u, u"REQUESTED_CIPHER_NOT_SUPPORTED"},
        {0x00830001u, u"NOT_IN_SEQUENCE"},
        {0x00840001u, u"NOT_IN_SEQUENCE"},
        {0x00860001u, u"NOT_IN_SEQUENCE"},
        {0x00860002u, u"VERIFICATION_FAILED"},
        {0x00870001u, u"NOT_IN_SEQUENCE"},
        {0x00880001u, u"NOT_IN_SEQUENCE"},
        {0x00890001u, u"NO_ACTIVE_SS"},
        {0x008B0001u, u"NO_SEQURE_CHANNEL"},
        {0x008B0002u, u"PRA_NOT_CONFIGURED"},
        {0x008B0004u, u"CD_ISNOT_CONFIGURED"},
        {0x008B0008u, u"THEKEY_DOESNOT_MATCH"},
        {0x00A20001u, u"ILLEGAL_PRIVATE_AREA_SIZE"},
        {0x00A40001u, u"PRIVATE_AREA_NOT_CNFG"},
        {0x00A40002u, u"WRONG_PSWD"},
        {0x00A40004u, u"CURRENTNOA_EQ_TO_MAXNOA"},
        {0x00A50001u, u"PRIVATE_AREA_NOT_CNFG"},
        {0x00A50002u, u"WRONG_PSWD"},
        {0x00A60001u, u"PRIVATE_AREA_NOT_CNFG"},
        {0x00A60002u, u"WRONG_PREVIOUS_PSWD"},
        {0x00A60004u, u"CURRENTNOA_EQ_TO_MAXNOA"},
        {0x00A70001u, u"PRIVATE_AREA_NOT_CNFG"},
        {0x00A70002u, u"WRONG_PREVIOUS_PSWD"},
        {0x00A70004u, u"CURRENTNOA_EQ_TO_MAXNOA"},
        {0x00A70008u, u"LESS_THEN_DOMAIN_SIZE"},
        {0x00C00001u, u"PRIVATE_AREA_PSWD_INCORRECT"},
        {0x00C00002u, u"NOA_EQ_TO_MAXNOA"},
        {0x00C10001u, u"TRUSTED_HOST_ID_NOT_CREATED"},
        {0x00C20001u, u"INCORRECT_TH_ID_OR_PC_ID"},
        {0x00C20002u, u"NOA_EQ_TO_MAXNOA"},
        {0x00E10001u, u"3DES_OUT_OF_SEQUENCE"},
    };
    for (const auto& c : cases) {
        std::u16string text;
        describeError(c.code, text);
        EXPECT_EQ(text, std::u16string(u" Error code: ") + c.name) << std::hex << c.code;
    }
}

}  // namespace
}  // namespace nork::qz
