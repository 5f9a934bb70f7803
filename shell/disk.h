// The shell's floppy commands: sector dumps, file reading, directory
// listings and the cache refresh after a disk change.
#pragma once

void cmd_rdsec(bool ascii);
void cmd_rdfile();
void cmd_dir();
void dir_list_path(char* path);
void dir_list_root();
void dir_list_folder(char* path);
void cmd_upflpy();
