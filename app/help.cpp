// The built-in help: the command list for the bare word "help", and one topic per
// command family, chosen by the letter after "help" and one separator.
#include "app/App.h"

#include "app/util.h"

namespace {

void CommandList() {
  PRINT("=== Command List ===");
  PRINT("enter 'help o' for the overview");
  PRINT("enter 'help' and the first letter");
  PRINT("to access in detail");
  PRINT(" ");
  PRINT("createsys   -   create system files");
  PRINT("dec   -   decrypt a file");
  PRINT("enc   -   encrypt a file");
  PRINT("killsys  -   remove system files");
  PRINT("ressys   -   restore system files");
  PRINT("sysdat - show system stats");
  PRINT("transsys   -  copy system files");
  PRINT("transkill - copy system files and delete system");
  PRINT("x  -  execute a script file");
  PRINT(" ");
}

void Overview() {
  PRINT("=== Overview ===");
  PRINT(" ");
  PRINT("Ombrix Encryption uses system files as its 'keys',");
  PRINT("so in order to encrypt or decrypt files, the system");
  PRINT("files must first be created.  These system files can");
  PRINT("be transferred (copied) to another folder for retrieval");
  PRINT("so multiple system files can be used.  These files can");
  PRINT("also be removed to safeguard your keys in case of theft.");
  PRINT(" ");
  PRINT("This is a private key system, which means that the exact");
  PRINT("same datafiles have to be present in order to encrypt or");
  PRINT("decrypt, so if you are using this to crypt to send to");
  PRINT("another location, the system files created must be sent");
  PRINT("or delivered, or have network access to the files.");
  PRINT(" ");
  PRINT("The system files consist of three components, each referenced");
  PRINT("by numbers and when encrypting or decrypting the particular");
  PRINT("numbers for each component are used.  For example, suppose a");
  PRINT("system was created using 100 for each component, you could");
  PRINT("then encrypt/decrypt using 14 for the first component, 65 for");
  PRINT("the second, and 39 for the third - any number from 1 to the max");
  PRINT("number you specify when you created the system.");
  PRINT(" ");
  PRINT("Once the system files have been created or restored from");
  PRINT("from another location, you can encrypt/decrypt a file simply");
  PRINT("by specifying the source filename, the crypt filename and the");
  PRINT("three component numbers.");
  PRINT(" ");
  PRINT("Enter Help C for detailed info on creating system files.");
  PRINT("Enter Help D for detailed info on decrypting files.");
  PRINT("Enter Help E for detailed info on encrypting files.");
  PRINT(" ");
  PRINT("You can exit Ombrix by the commands end, exit or quit.");
  PRINT(" ");
  PRINT("You can create script files containing both terminal commands");
  PRINT("and Ombrix commands, but be aware that commands such as");
  PRINT("cd will not work.  Ombrix remains in the home directory, so always");
  PRINT("use direct path names for files.");
  PRINT(" ");
}

void CreateSystem() {
  PRINT("=== Create System ===");
  PRINT(" ");
  PRINT("Before any encryptions or decryptions can take place, the system");
  PRINT("files must be created.  Creating a system requires four parameters");
  PRINT("although only three are used in actual cryptions.  The fourth");
  PRINT("parameter determines whether or not expansion will be used (more on");
  PRINT("that later).  The format of the createsys statement is:");
  PRINT(" ");
  PRINT("createsys # # # A");
  PRINT("# represents a number from 1 to 1000 for each of the three components");
  PRINT("used in your cryptions.  The fourth parameter determines if expansion");
  PRINT("will be used for this system, that is when encrypting the resulting");
  PRINT("encrypted file will be embedded with bogus characters to complicate");
  PRINT("any attacks (attempts to break it) on the file by another party.  This");
  PRINT("fourth parameter can have the values L for low expansion, M for medium,");
  PRINT("H for high or N for no expansion.  Note that the higher the expansion,");
  PRINT("the greater the filesize and processing time.");
  PRINT(" ");
  PRINT("Some examples:");
  PRINT("createsys 500 400 300 n");
  PRINT("500 items of component 1 will be generated, 400 for component two, 300");
  PRINT("for component 3 with no expansion.");
  PRINT(" ");
  PRINT("createsys 1000 1000 1000 l");
  PRINT("1000 items of component 1 will be generated, 1000 for component two, 1000");
  PRINT("for component 3 with low expansion.");
  PRINT(" ");
  PRINT("You can then encrypt/decrypt using any of the create system components by");
  PRINT("specifying which to use for the cryption.  Such as:");
  PRINT("enc sourcefile encfile 345 225 14");
  PRINT("dec encfile decfile 345 225 14");
  PRINT(" ");
  PRINT("Once a system has been created it will be needed by any computer that");
  PRINT("will use this program.  It would be adviseable to copy the system files");
  PRINT("(via transsys command) to a location that is accessible to all who will");
  PRINT("use this program.");
  PRINT(" ");
  PRINT("You cannot create a system with system files already in place.  Before");
  PRINT("creating a new system, use the transsys command and then the killsys");
  PRINT("command.  You can then create a new system.");
  PRINT(" ");
}

void DecryptFile() {
  PRINT("=== Decrypt File ===");
  PRINT(" ");
  PRINT("Once a system has been created (see createsys command) or restored (ressys)");
  PRINT("you can decrypt an encrypted file by the following format:");
  PRINT(" ");
  PRINT("dec encfile decfile # # #");
  PRINT("encfile is the previously encrypted file, decfile is the resulting decrypted");
  PRINT("filename and # represents the three components that were used when it was");
  PRINT("encrypted.  These numbers must not exceed the maximum that were created.");
  PRINT(" ");
  PRINT("Examples:");
  PRINT("dec /usr/home/test.enc test.dec 145 224 67");
  PRINT("dec /usr/home/test.enc /usr/home/dec/test.dec 145 224 67");
  PRINT(" ");
}

void EncryptFile() {
  PRINT("=== Encrypt File ===");
  PRINT(" ");
  PRINT("Once a system has been created (see createsys command) or restored (ressys)");
  PRINT("you can encrypt a file by the following format:");
  PRINT(" ");
  PRINT("enc sourcefile encfile # # #");
  PRINT("sourcefile is the file to be encrypted, encfile is the resulting encrypted");
  PRINT("filename and # represents the three components that will be used when it is");
  PRINT("encrypted.  These numbers must not exceed the maximum that were created.");
  PRINT(" ");
  PRINT("Examples:");
  PRINT("enc /usr/home/test.txt test.enc 145 224 67");
  PRINT("enc /usr/home/test.txt /usr/home/enc/test.enc 145 224 67");
  PRINT(" ");
}

void KillSystem() {
  PRINT("=== Kill System ===");
  PRINT(" ");
  PRINT("This removes the system files from your local computer. There are no parameters");
  PRINT("for the killsys command.  Be sure to have issued a transsys command before you");
  PRINT("do this, otherwise all encrypted files will not be able to be decrypted again.");
  PRINT(" ");
  PRINT("You can also issue a transkill command that will first copy the system to the");
  PRINT("path specified, then delete the system without a prompt.");
  PRINT(" ");
}

void RestoreSystem() {
  PRINT("=== Restore System ===");
  PRINT(" ");
  PRINT("Restoring the system files allows you to use multiple systems as well as");
  PRINT("security of your machine in case of theft.  The format is:");
  PRINT(" ");
  PRINT("ressys path");
  PRINT("Simply specify the path where the files are to copied from.  The files will be");
  PRINT("written back to the Ombrix environment and you are then free to encrypt and");
  PRINT("decrypt files.");
  PRINT(" ");
}

void TransferSystem() {
  PRINT("=== Transfer System ===");
  PRINT(" ");
  PRINT("Copying the system files to another location is required not only before you");
  PRINT("can create a new system, but to backup the data and allow other users to access");
  PRINT("the system files.  The format is:");
  PRINT("transsys path");
  PRINT("Simply specify the path where the files are to be copied to.  NOTE: The process");
  PRINT("will overwrite any files already there so prepare a folder for each system you");
  PRINT("create.  Also, the path will not be created by Ombrix, so do that ahead of time.");
  PRINT("You can also issue a transkill command that will first copy the system to the");
  PRINT("path specified, then delete the system without a prompt.");
  PRINT(" ");
}

void Formats() {
  PRINT("=== Formats ===");
  PRINT("Legend: #=number   A=L, M, H, or N.");
  PRINT("help c, d or e for more info");
  PRINT(" ");
  PRINT("createsys # # # A");
  PRINT("dec encfile decfile # # #");
  PRINT("enc sourcefile encfile # # #");
  PRINT("ressys path");
  PRINT("transkill path");
  PRINT("transsys path");
  PRINT("x scriptfile");
  PRINT(" ");
}

void ExecuteScript() {
  PRINT("=== eXecute Scriptfile ===");
  PRINT(" ");
  PRINT("This allows you to run a text scriptfile of multiple commands in a batch");
  PRINT("stream.  It is very useful as it will also process regular commands in the");
  PRINT("script as well, so you can combine together as a job.");
  PRINT(" ");
  PRINT("A good use is for creating systems.  Each system needs its own folder,");
  PRINT("so you could open a text editor and do the following:");
  PRINT(" ");
  PRINT("mkdir Sys1");
  PRINT("mkdir Sys2");
  PRINT("mkdir Sys3");
  PRINT("mkdir Sys4");
  PRINT("createsys 25 500 500 n");
  PRINT("transsys Sys1");
  PRINT("killsys");
  PRINT("createsys 30 600 50 l");
  PRINT("transsys Sys2");
  PRINT("killsys");
  PRINT("createsys 25 500 500 m");
  PRINT("transsys Sys3");
  PRINT("killsys");
  PRINT("createsys 25 500 500 h");
  PRINT("transsys Sys4");
  PRINT("killsys");
  PRINT(" ");
  PRINT("Routine script files can be created to do such things as decrypt all files");
  PRINT("and restore a different system and encrypt the files with the new system,");
  PRINT("or encrypt a file and ftp it to another location, or get a file and then ");
  PRINT("decrypt it.");
  PRINT(" ");
  PRINT("The process will first verify that all commands are valid, and check that");
  PRINT("all values are correct.  If no errors are detected, the script will execute.");
  PRINT("Note that no checks are made for regular terminal commands.");
  PRINT(" ");
}

// The topic for letter, which is one character (letter case ignored); NULL when no topic
// has that letter.
using Topic = void (*)();
Topic TopicOf(MVString* letter) {
  if (Same(letter, MV_LIT("o"))) return Overview;
  if (Same(letter, MV_LIT("c"))) return CreateSystem;
  if (Same(letter, MV_LIT("d"))) return DecryptFile;
  if (Same(letter, MV_LIT("e"))) return EncryptFile;
  if (Same(letter, MV_LIT("k"))) return KillSystem;
  if (Same(letter, MV_LIT("r"))) return RestoreSystem;
  if (Same(letter, MV_LIT("t"))) return TransferSystem;
  if (Same(letter, MV_LIT("f"))) return Formats;
  if (Same(letter, MV_LIT("x"))) return ExecuteScript;
  return nullptr;
}

}  // namespace

// The 6th character selects the topic: "help" itself, one separator, then the letter.
// Every topic, and a line that selects none, ends with one more blank line.
bool ShowHelpCommand(MVObject*) {
  if (Same(CommandLine, MV_LIT("help"))) {
    CommandList();
    return true;
  }
  Str letter(StringDBCSMid3(CommandLine, 6, 1));
  if (Topic topic = TopicOf(letter.get())) topic();
  PRINT(" ");
  return true;
}

void App_ShowHelp(MVObject* self) { ShowHelpCommand(self); }

bool IsHelpTopic(MVString* letter) { return TopicOf(letter) != nullptr; }
