#include "qz/DeviceErrors.h"

#include <algorithm>
#include <iterator>

namespace nork::qz {
namespace {

template <class Key>
struct Name {
    Key value;
    const char16_t* text;
};

// Sorted by operation code.
constexpr Name<std::uint16_t> COMMAND_NAMES[] = {
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
    {0x0100, u"AUX__Ready_Not_Ready_Pulse"},
    {0x0101, u"AUX__Detach_Attach"},
    {0x0102, u"AUX__Get_Error_Code"},
};

// Sorted by value; the reason bits mean different things per command.
constexpr Name<std::uint32_t> ERROR_NAMES[] = {
    {0x00000000, u"NO_ERROR"},
    {0x00000001, u"ILLEGAL_SERVICE_TYPE"},
    {0x00220001, u"PRIVATE_AREA_CNFG_IN_AFFECT_DOMAIN"},
    {0x00220002, u"AREA_SIZE_NOT_LEGAL"},
    {0x00220004, u"CD_LOCKED_BY_VENDOR"},
    {0x00220008, u"NEW_CNFG_NOT_SET_HW"},
    {0x00220010, u"DOMAIN_TYPE_NOT_SUPPORTED"},
    {0x00220020, u"INVALID_DOMAIN_INDEX"},
    {0x00230001, u"AREA_SIZE_NOT_LEGAL"},
    {0x00230002, u"NEW_CNFG_NOT_SET"},
    {0x00230004, u"DOMAIN_TYPE_NOT_SUPPORTED"},
    {0x00230008, u"INVALID_DOMAIN_INDEX"},
    {0x00240001, u"NEW_CNFG_NOT_SET"},
    {0x00240002, u"INVALID_DOMAIN_INDEX"},
    {0x00240004, u"PRIVATE_AREA_CNFG_IN_AFFECT_DOMAIN"},
    {0x00250001, u"SPECIFIED_INDEX_NOT_EXIST"},
    {0x00250002, u"NEW_CNFG_NOT_SET"},
    {0x00250004, u"CD_LOCKED_BY_VENDOR"},
    {0x00250008, u"PRIVATE_AREA_CNFG_IN_AFFECT_DOMAIN"},
    {0x00250010, u"DOMAIN_TYPE_NOT_SUPPORTED"},
    {0x00260001, u"SPECIFIED_INDEX_NOT_EXIST"},
    {0x00260002, u"NEW_CNFG_NOT_SET"},
    {0x00260004, u"DOMAIN_TYPE_NOT_SUPPORTED"},
    {0x00400001, u"LOGICAL_UNIT_NOT_EXIST"},
    {0x00400002, u"ALREADY_LOCKED"},
    {0x00400004, u"HW_PROBLEM_IN_OWNER_KEY_STORAGE_CD_UNLOCK"},
    {0x00410001, u"OWNER_SECURE_SESSION_NOT_OPEN"},
    {0x00420001, u"CD_IS_LOCKED"},
    {0x00420002, u"DOMAIN_IS_NOT_CD"},
    {0x00420004, u"OUT_OF_CD_AREA"},
    {0x00600001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00600002, u"PAGE_WRITE_PSSWD_PROTECTED"},
    {0x00600004, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    {0x00610001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00610002, u"TAG_NOT_COMPATIBLE"},
    {0x00610004, u"PAGE_READ_PSSWD_PROTECTED"},
    {0x00610008, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    {0x00620001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00620002, u"INCORRECT_PSWD"},
    {0x00620004, u"PAGE_UNPROTECTED"},
    {0x00620008, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    {0x00620010, u"CURRENTNOA_EQ_TO_MAXNOA"},
    {0x00630001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00630002, u"INCORRECT_PSWD"},
    {0x00630004, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    {0x00630008, u"PAGE_UNPROTECTED"},
    {0x00630010, u"CURRENTNOA_EQ_TO_MAXNOA"},
    {0x00640001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00640002, u"PAGE_WRITE_PSWD_PROTECT"},
    {0x00640004, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    {0x00650001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00650002, u"PAGE_READ_PSWD_PROTECT"},
    {0x00650004, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    {0x00660001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00660002, u"INCORRECT_PSWD"},
    {0x00660004, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    {0x00660008, u"PAGE_UNPROTECTED"},
    {0x00660010, u"CURRENTNOA_EQ_TO_MAXNOA"},
    {0x00670001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00670002, u"INCORRECT_PSWD"},
    {0x00670004, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    {0x00670008, u"PAGE_UNPROTECTED"},
    {0x00670010, u"CURRENTNOA_EQ_TO_MAXNOA"},
    {0x00680001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00690001, u"ILLEGAL_PAGE_NUMBER"},
    {0x00690002, u"PAGE_NOT_PSWD_PROTECTED"},
    {0x00690004, u"WH_PROBLEM_PAGE_STAT_UNKNOWN"},
    {0x00800001, u"REQUESTED_CIPHER_NOT_SUPPORTED"},
    {0x00830001, u"NOT_IN_SEQUENCE"},
    {0x00840001, u"NOT_IN_SEQUENCE"},
    {0x00860001, u"NOT_IN_SEQUENCE"},
    {0x00860002, u"VERIFICATION_FAILED"},
    {0x00870001, u"NOT_IN_SEQUENCE"},
    {0x00880001, u"NOT_IN_SEQUENCE"},
    {0x00890001, u"NO_ACTIVE_SS"},
    {0x008B0001, u"NO_SEQURE_CHANNEL"},
    {0x008B0002, u"PRA_NOT_CONFIGURED"},
    {0x008B0004, u"CD_ISNOT_CONFIGURED"},
    {0x008B0008, u"THEKEY_DOESNOT_MATCH"},
    {0x00A20001, u"ILLEGAL_PRIVATE_AREA_SIZE"},
    {0x00A40001, u"PRIVATE_AREA_NOT_CNFG"},
    {0x00A40002, u"WRONG_PSWD"},
    {0x00A40004, u"CURRENTNOA_EQ_TO_MAXNOA"},
    {0x00A50001, u"PRIVATE_AREA_NOT_CNFG"},
    {0x00A50002, u"WRONG_PSWD"},
    {0x00A60001, u"PRIVATE_AREA_NOT_CNFG"},
    {0x00A60002, u"WRONG_PREVIOUS_PSWD"},
    {0x00A60004, u"CURRENTNOA_EQ_TO_MAXNOA"},
    {0x00A70001, u"PRIVATE_AREA_NOT_CNFG"},
    {0x00A70002, u"WRONG_PREVIOUS_PSWD"},
    {0x00A70004, u"CURRENTNOA_EQ_TO_MAXNOA"},
    {0x00A70008, u"LESS_THEN_DOMAIN_SIZE"},
    {0x00C00001, u"PRIVATE_AREA_PSWD_INCORRECT"},
    {0x00C00002, u"NOA_EQ_TO_MAXNOA"},
    {0x00C10001, u"TRUSTED_HOST_ID_NOT_CREATED"},
    {0x00C20001, u"INCORRECT_TH_ID_OR_PC_ID"},
    {0x00C20002, u"NOA_EQ_TO_MAXNOA"},
    {0x00E10001, u"3DES_OUT_OF_SEQUENCE"},
};

template <class Key>
constexpr bool byValue(const Name<Key>& a, const Name<Key>& b) {
    return a.value < b.value;
}
// The look-up below is a binary search.
static_assert(std::is_sorted(std::begin(COMMAND_NAMES), std::end(COMMAND_NAMES),
                             byValue<std::uint16_t>));
static_assert(std::is_sorted(std::begin(ERROR_NAMES), std::end(ERROR_NAMES),
                             byValue<std::uint32_t>));

template <class Key, std::size_t N>
const char16_t* find(const Name<Key> (&table)[N], Key value, const char16_t* unknown) {
    auto it = std::lower_bound(std::begin(table), std::end(table), value,
                               [](const Name<Key>& n, Key v) { return n.value < v; });
    return it != std::end(table) && it->value == value ? it->text : unknown;
}

}  // namespace

const char16_t* commandName(std::uint16_t opCode) {
    return find(COMMAND_NAMES, opCode, u"Unknown");
}

const char16_t* errorName(std::uint32_t code) {
    return find(ERROR_NAMES, code, u"UNKNOWN");
}

void describeCommand(std::uint32_t code, std::u16string& out) {
    out += u"Command: ";
    out += commandName(static_cast<std::uint16_t>(code >> 16));
}

void describeError(std::uint32_t code, std::u16string& out) {
    out += u" Error code: ";
    out += errorName(code);
}

}  // namespace nork::qz
