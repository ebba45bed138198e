// String-table identifiers of the file transfer slave and their English
// texts. The resource script (resources/kslave/kslave.rc) holds the same
// texts; a language library may replace them. The host tests use the table
// below so that status lines can be checked without resources.
#pragma once

namespace qv::slave {

enum TextId : int {
    kTextShuttingDown = 1001,
    kTextListening = 1002,
    kTextServerInfo = 1004,
    kTextDriveInfo = 1005,
    kTextVolumeInfo = 1006,
    kTextSecondaryVolumeInfo = 1007,
    kTextFileInfo = 1008,
    kTextMoreFileInfo = 1009,
    kTextSequenceNumber = 1010,
    kTextExistence = 1011,
    kTextFileSize = 1012,
    kTextSendingFile = 1013,
    kTextClosingFile = 1014,
    kTextCreatingFile = 1015,
    kTextDeletingFile = 1016,
    kTextCreatingDirectory = 1017,
    kTextVerifyDirectory = 1018,
    kTextVerifyDrive = 1019,
    kTextVerifyVolume = 1020,
    kTextTerminate = 1021,
    kTextUnknownCommand = 1022,
    kTextErrorDeleting = 1023,
    kTextSendPacket = 1024,
    kTextReceivePacket = 1025,
    kTextStatusHeading = 1100,
    kTextCaption = 1101,
};

struct DefaultText {
    int id;
    const char* text;
};

inline constexpr DefaultText kDefaultTexts[] = {
    {kTextShuttingDown, "Shutting down the file transfer slave."},
    {kTextListening, "Listening:"},
    {kTextServerInfo, "Received a request to send server information."},
    {kTextDriveInfo, "Received a request to send drive information"},
    {kTextVolumeInfo, "Sending volume information"},
    {kTextSecondaryVolumeInfo, "Sending Secondary Volume Information."},
    {kTextFileInfo, "Sending File Information."},
    {kTextMoreFileInfo, "Sending More File Information."},
    {kTextSequenceNumber, "Sequence Number"},
    {kTextExistence, "Received an acknowledge/verify FT_EXISTENCE command."},
    {kTextFileSize, "Sending size of file"},
    {kTextSendingFile, "Sending file"},
    {kTextClosingFile, "Closing file"},
    {kTextCreatingFile, "Creating file"},
    {kTextDeletingFile, "Deleting file"},
    {kTextCreatingDirectory, "Creating a directory"},
    {kTextVerifyDirectory, "Verify existance of directory"},
    {kTextVerifyDrive, "Verify existance of drive"},
    {kTextVerifyVolume, "Verify existance of volume"},
    {kTextTerminate, "Received a request to terminate the slave program."},
    {kTextUnknownCommand, "Received an unknown command"},
    {kTextErrorDeleting, "Error deleting file"},
    {kTextSendPacket, "Send Packet"},
    {kTextReceivePacket, "Receive Packet"},
    {kTextStatusHeading, "File Transfer Status"},
    {kTextCaption, "File Transfer Slave"},
};

inline const char* DefaultTextFor(int id) {
    for (const DefaultText& t : kDefaultTexts)
        if (t.id == id) return t.text;
    return "";
}

}  // namespace qv::slave
