"""The built-in help: the command list and every topic, byte for byte, and the choice
of topic by the sixth character of the line."""
import unittest

from harness import AppTestCase, transcript

# Each topic as printed, one text per console line.
TOPICS = {
    'LIST': [
        '=== Command List ===',
        "enter 'help o' for the overview",
        "enter 'help' and the first letter",
        'to access in detail',
        ' ',
        'createsys   -   create system files',
        'dec   -   decrypt a file',
        'enc   -   encrypt a file',
        'killsys  -   remove system files',
        'ressys   -   restore system files',
        'sysdat - show system stats',
        'transsys   -  copy system files',
        'transkill - copy system files and delete system',
        'x  -  execute a script file',
        ' ',
    ],
    'o': [
        '=== Overview ===',
        ' ',
        "Ombrix Encryption uses system files as its 'keys',",
        'so in order to encrypt or decrypt files, the system',
        'files must first be created.  These system files can',
        'be transferred (copied) to another folder for retrieval',
        'so multiple system files can be used.  These files can',
        'also be removed to safeguard your keys in case of theft.',
        ' ',
        'This is a private key system, which means that the exact',
        'same datafiles have to be present in order to encrypt or',
        'decrypt, so if you are using this to crypt to send to',
        'another location, the system files created must be sent',
        'or delivered, or have network access to the files.',
        ' ',
        'The system files consist of three components, each referenced',
        'by numbers and when encrypting or decrypting the particular',
        'numbers for each component are used.  For example, suppose a',
        'system was created using 100 for each component, you could',
        'then encrypt/decrypt using 14 for the first component, 65 for',
        'the second, and 39 for the third - any number from 1 to the max',
        'number you specify when you created the system.',
        ' ',
        'Once the system files have been created or restored from',
        'from another location, you can encrypt/decrypt a file simply',
        'by specifying the source filename, the crypt filename and the',
        'three component numbers.',
        ' ',
        'Enter Help C for detailed info on creating system files.',
        'Enter Help D for detailed info on decrypting files.',
        'Enter Help E for detailed info on encrypting files.',
        ' ',
        'You can exit Ombrix by the commands end, exit or quit.',
        ' ',
        'You can create script files containing both terminal commands',
        'and Ombrix commands, but be aware that commands such as',
        'cd will not work.  Ombrix remains in the home directory, so always',
        'use direct path names for files.',
        ' ',
    ],
    'c': [
        '=== Create System ===',
        ' ',
        'Before any encryptions or decryptions can take place, the system',
        'files must be created.  Creating a system requires four parameters',
        'although only three are used in actual cryptions.  The fourth',
        'parameter determines whether or not expansion will be used (more on',
        'that later).  The format of the createsys statement is:',
        ' ',
        'createsys # # # A',
        '# represents a number from 1 to 1000 for each of the three components',
        'used in your cryptions.  The fourth parameter determines if expansion',
        'will be used for this system, that is when encrypting the resulting',
        'encrypted file will be embedded with bogus characters to complicate',
        'any attacks (attempts to break it) on the file by another party.  This',
        'fourth parameter can have the values L for low expansion, M for medium,',
        'H for high or N for no expansion.  Note that the higher the expansion,',
        'the greater the filesize and processing time.',
        ' ',
        'Some examples:',
        'createsys 500 400 300 n',
        '500 items of component 1 will be generated, 400 for component two, 300',
        'for component 3 with no expansion.',
        ' ',
        'createsys 1000 1000 1000 l',
        '1000 items of component 1 will be generated, 1000 for component two, 1000',
        'for component 3 with low expansion.',
        ' ',
        'You can then encrypt/decrypt using any of the create system components by',
        'specifying which to use for the cryption.  Such as:',
        'enc sourcefile encfile 345 225 14',
        'dec encfile decfile 345 225 14',
        ' ',
        'Once a system has been created it will be needed by any computer that',
        'will use this program.  It would be adviseable to copy the system files',
        '(via transsys command) to a location that is accessible to all who will',
        'use this program.',
        ' ',
        'You cannot create a system with system files already in place.  Before',
        'creating a new system, use the transsys command and then the killsys',
        'command.  You can then create a new system.',
        ' ',
    ],
    'd': [
        '=== Decrypt File ===',
        ' ',
        'Once a system has been created (see createsys command) or restored (ressys)',
        'you can decrypt an encrypted file by the following format:',
        ' ',
        'dec encfile decfile # # #',
        'encfile is the previously encrypted file, decfile is the resulting decrypted',
        'filename and # represents the three components that were used when it was',
        'encrypted.  These numbers must not exceed the maximum that were created.',
        ' ',
        'Examples:',
        'dec /usr/home/test.enc test.dec 145 224 67',
        'dec /usr/home/test.enc /usr/home/dec/test.dec 145 224 67',
        ' ',
    ],
    'e': [
        '=== Encrypt File ===',
        ' ',
        'Once a system has been created (see createsys command) or restored (ressys)',
        'you can encrypt a file by the following format:',
        ' ',
        'enc sourcefile encfile # # #',
        'sourcefile is the file to be encrypted, encfile is the resulting encrypted',
        'filename and # represents the three components that will be used when it is',
        'encrypted.  These numbers must not exceed the maximum that were created.',
        ' ',
        'Examples:',
        'enc /usr/home/test.txt test.enc 145 224 67',
        'enc /usr/home/test.txt /usr/home/enc/test.enc 145 224 67',
        ' ',
    ],
    'k': [
        '=== Kill System ===',
        ' ',
        'This removes the system files from your local computer. There are no parameters',
        'for the killsys command.  Be sure to have issued a transsys command before you',
        'do this, otherwise all encrypted files will not be able to be decrypted again.',
        ' ',
        'You can also issue a transkill command that will first copy the system to the',
        'path specified, then delete the system without a prompt.',
        ' ',
    ],
    'r': [
        '=== Restore System ===',
        ' ',
        'Restoring the system files allows you to use multiple systems as well as',
        'security of your machine in case of theft.  The format is:',
        ' ',
        'ressys path',
        'Simply specify the path where the files are to copied from.  The files will be',
        'written back to the Ombrix environment and you are then free to encrypt and',
        'decrypt files.',
        ' ',
    ],
    't': [
        '=== Transfer System ===',
        ' ',
        'Copying the system files to another location is required not only before you',
        'can create a new system, but to backup the data and allow other users to access',
        'the system files.  The format is:',
        'transsys path',
        'Simply specify the path where the files are to be copied to.  NOTE: The process',
        'will overwrite any files already there so prepare a folder for each system you',
        'create.  Also, the path will not be created by Ombrix, so do that ahead of time.',
        'You can also issue a transkill command that will first copy the system to the',
        'path specified, then delete the system without a prompt.',
        ' ',
    ],
    'f': [
        '=== Formats ===',
        'Legend: #=number   A=L, M, H, or N.',
        'help c, d or e for more info',
        ' ',
        'createsys # # # A',
        'dec encfile decfile # # #',
        'enc sourcefile encfile # # #',
        'ressys path',
        'transkill path',
        'transsys path',
        'x scriptfile',
        ' ',
    ],
    'x': [
        '=== eXecute Scriptfile ===',
        ' ',
        'This allows you to run a text scriptfile of multiple commands in a batch',
        'stream.  It is very useful as it will also process regular commands in the',
        'script as well, so you can combine together as a job.',
        ' ',
        'A good use is for creating systems.  Each system needs its own folder,',
        'so you could open a text editor and do the following:',
        ' ',
        'mkdir Sys1',
        'mkdir Sys2',
        'mkdir Sys3',
        'mkdir Sys4',
        'createsys 25 500 500 n',
        'transsys Sys1',
        'killsys',
        'createsys 30 600 50 l',
        'transsys Sys2',
        'killsys',
        'createsys 25 500 500 m',
        'transsys Sys3',
        'killsys',
        'createsys 25 500 500 h',
        'transsys Sys4',
        'killsys',
        ' ',
        'Routine script files can be created to do such things as decrypt all files',
        'and restore a different system and encrypt the files with the new system,',
        'or encrypt a file and ftp it to another location, or get a file and then ',
        'decrypt it.',
        ' ',
        'The process will first verify that all commands are valid, and check that',
        'all values are correct.  If no errors are detected, the script will execute.',
        'Note that no checks are made for regular terminal commands.',
        ' ',
    ],
}


def lines(texts):
    return b"".join(t.encode() + b"\n" for t in texts)


COMMAND_LIST = lines(TOPICS["LIST"])
BLANK = b" \n"


class Help(AppTestCase):
    def ask(self, *commands):
        r = self.app.session(list(commands))
        self.assertEqual(r.status, 0)
        return r.out

    def test_command_list_is_not_followed_by_another_blank(self):
        self.assertEqual(self.ask("help", "HELP", "Help"),
                         transcript(COMMAND_LIST, COMMAND_LIST, COMMAND_LIST))

    def test_every_topic_then_one_blank(self):
        letters = "ocdekrtfx"
        out = self.ask(*["help " + l for l in letters])
        self.assertEqual(out, transcript(*[lines(TOPICS[l]) + BLANK for l in letters]))

    def test_topic_letters_ignore_case(self):
        out = self.ask("Help C", "HELP X", "help/F")
        self.assertEqual(out, transcript(lines(TOPICS["c"]) + BLANK, lines(TOPICS["x"]) + BLANK,
                                         lines(TOPICS["f"]) + BLANK))

    def test_sixth_character_selects(self):
        # 'helpme': the sixth character is e; 'help  c': it is a blank.
        out = self.ask("help me", "helpme", "help  c", "help s", "help ", "help c extra")
        self.assertEqual(out, transcript(BLANK, lines(TOPICS["e"]) + BLANK, BLANK, BLANK, BLANK,
                                         lines(TOPICS["c"]) + BLANK))

    def test_trailing_blank_line_of_script_topic(self):
        self.assertIn(b"or get a file and then \ndecrypt it.\n", lines(TOPICS["x"]))
        out = self.ask("help x")
        self.assertIn(b"or get a file and then \ndecrypt it.\n", out)

    def test_formats_name_transkill(self):
        self.assertIn(b"transkill path\n", self.ask("help f"))


if __name__ == "__main__":
    unittest.main()
