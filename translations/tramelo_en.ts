<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>EntryDialog</name>
    <message>
        <source>复位序列: %1</source>
        <translation>Reset sequence: %1</translation>
    </message>
    <message>
        <source>进入序列 (下载前)</source>
        <translation>Entry sequence (before the download)</translation>
    </message>
    <message>
        <source>退出序列 (写入后)</source>
        <translation>Exit sequence (after writing)</translation>
    </message>
    <message>
        <source>步骤用逗号分开: rts/-rts、dtr/-dtr (有效/无效)，brk/-brk (开始/结束 break)，NNms (等待 0-10000 ms)。空白: 不用序列。</source>
        <translation>Steps separated by commas: rts/-rts, dtr/-dtr (assert/release), brk/-brk (start/end a break), NNms (wait 0-10000 ms). Empty: no sequence.</translation>
    </message>
    <message>
        <source>交换 RTS 和 DTR</source>
        <translation>Swap RTS and DTR</translation>
    </message>
    <message>
        <source>RTS 反相</source>
        <translation>RTS inverted</translation>
    </message>
    <message>
        <source>DTR 反相</source>
        <translation>DTR inverted</translation>
    </message>
    <message>
        <source>复位时用 /bin/sh -c 运行的命令 (例如 uhubctl、gpioset)，最多 30 秒</source>
        <translation>A command run with /bin/sh -c when the chip must be reset (for example uhubctl, gpioset), 30 s at most</translation>
    </message>
    <message>
        <source>电源命令</source>
        <translation>Power command</translation>
    </message>
    <message>
        <source>无</source>
        <translation>none</translation>
    </message>
    <message>
        <source>进入</source>
        <translation>Entry</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
</context>
<context>
    <name>TMainForm</name>
    <message>
        <source>二进制文件写入的地址 (十六进制，如 0x08004000)<byte value="xd"/>空白：从 Flash 起始地址写入</source>
        <translation>Address the binary file is written to (hexadecimal, e.g. 0x08004000)<byte value="xd"/>Empty: from the start of flash</translation>
    </message>
    <message>
        <source>二进制文件的地址</source>
        <translation>Address of the binary file</translation>
    </message>
    <message>
        <source>复位序列…</source>
        <translation>Reset sequence…</translation>
    </message>
    <message>
        <source>(不存在)</source>
        <translation>(not present)</translation>
    </message>
    <message>
        <source>(无设备)</source>
        <translation>(no device)</translation>
    </message>
    <message>
        <source>STC12/15/8: 电压过低时复位 (low-voltage-reset)</source>
        <translation>STC12/15/8: reset when the supply voltage is too low (low-voltage-reset)</translation>
    </message>
    <message>
        <source>STC12/15/8: 复位脚作复位 (选中) 或作 I/O 口 (不选) (reset-pin)</source>
        <translation>STC12/15/8: the reset pin resets (checked) or is an I/O pin (unchecked) (reset-pin)</translation>
    </message>
    <message>
        <source>STC12/15/8: 下载时一并擦除 EEPROM 区 (eeprom-erase)</source>
        <translation>STC12/15/8: erase the EEPROM area with the download (eeprom-erase)</translation>
    </message>
    <message>
        <source>低压复位</source>
        <translation>Low-voltage reset</translation>
    </message>
    <message>
        <source>RST 脚用作复位</source>
        <translation>RST pin resets</translation>
    </message>
    <message>
        <source>擦除 EEPROM</source>
        <translation>Erase EEPROM</translation>
    </message>
    <message>
        <source><byte value="xd"/>(■ 部分选中：保持芯片原有设置)</source>
        <translation><byte value="xd"/>(■ partly checked: keep the chip&apos;s own setting)</translation>
    </message>
    <message>
        <source>停止下载</source>
        <translation>Stop download</translation>
    </message>
    <message>
        <source>停止正在进行的下载</source>
        <translation>Stop the running download</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>下载进度与用时</source>
        <translation>Download progress and time</translation>
    </message>
    <message>
        <source>下载进度</source>
        <translation>Download progress</translation>
    </message>
    <message>
        <source>选择或输入目标文件 (*.bin, *.hex)</source>
        <translation>Choose or type the target file (*.bin, *.hex)</translation>
    </message>
    <message>
        <source>信息区</source>
        <translation>Message area</translation>
    </message>
    <message>
        <source>下载失败</source>
        <translation>Download failed</translation>
    </message>
    <message>
        <source>下载成功</source>
        <translation>Download succeeded</translation>
    </message>
    <message>
        <source>所有文件</source>
        <translation>All files</translation>
    </message>
    <message>
        <source>清空日志(&amp;C)</source>
        <translation>&amp;Clear log</translation>
    </message>
    <message>
        <source>保存日志(&amp;S)…</source>
        <translation>&amp;Save log…</translation>
    </message>
    <message>
        <source>下载已停止</source>
        <translation>Download stopped</translation>
    </message>
    <message>
        <source>已停止下载，停在：%1 (%2%)；芯片中的程序不完整 ！</source>
        <translation>Download stopped at: %1 (%2%); the program in the chip is incomplete!</translation>
    </message>
    <message>
        <source>请先选择要下载的文件 ！</source>
        <translation>Choose the file to download first!</translation>
    </message>
    <message>
        <source>您好！欢迎使用 Tramelo —— 单片机串口下载与调试工具。<byte value="xd"/>
<byte value="xd"/>
主要功能：<byte value="xd"/>
 1. 串口ISP下载 STC 8051 单片机：STC89C51RC/52RC/55RD+/516RD+，<byte value="xd"/>
    STC10/11/12、STC15、STC8 系列 (任意型号，由芯片自报)；<byte value="xd"/>
 2. 串口ISP下载 NXP LPC2000 ARM7 (LPC2214/2292/2131/2132/2136/2138)；<byte value="xd"/>
 3. 串口ISP下载 STM32 (F0/F1/F2/F3/F4/F7、G0/G4、L0/L1/L4/L5、U5、H7、C0、WB/WL 的 USART 引导程序)；<byte value="xd"/>
 4. 自动识别芯片型号与晶振频率，型号可不选；STC15/STC8 校准内部 RC 时钟；<byte value="xd"/>
 5. 支持 BIN 与 Intel HEX 目标文件，下载前先检查文件；<byte value="xd"/>
 6. 下载前可用 RTS/DTR 自动复位目标板；STM32 可写后读回校验；<byte value="xd"/>
 7. 目标文件更新时自动重新下载，失败时窗口自动弹出；<byte value="xd"/>
 8. 下载过程在状态栏、信息区与进度条 (百分比与用时) 上实时显示，可随时停止；<byte value="xd"/>
 9. 下载信息可保存为文件 (右键菜单)；<byte value="xd"/>
10. 串口调试：COM1 ~ COM8 (显示对应的设备)，110 ~ 115200 波特；<byte value="xd"/>
11. 数据位 5~8、停止位 1/1.5/2、校验 None/Odd/Even/Mark/Space；<byte value="xd"/>
12. 接收数据以文本或十六进制(HEX)显示；<byte value="xd"/>
13. 以文本或十六进制(HEX)发送；<byte value="xd"/>
14. 可选发送新行(回车换行)；<byte value="xd"/>
15. 按键即发：于发送区按键即发送该字符；<byte value="xd"/>
16. 定时发送，间隔 1 ~ 9999 ms；<byte value="xd"/>
17. 读入文件到发送区，保存接收区到文件；<byte value="xd"/>
18. 手动控制 DTR、RTS 信号线；发送(S:)与接收(R:)字节计数；<byte value="xd"/>
19. 关闭时保存设置与窗口大小，启动时自动载入；<byte value="xd"/>
20. 中文显示不乱码；命令行 (tramelo download/read/ports/simulate) 与虚拟目标板。<byte value="xd"/>
<byte value="xd"/>
声明：本软件按“现状”提供，作者不对使用本软件造成的任何损失负责。<byte value="xd"/>
欢迎提出意见和建议：author@orvel.example</source>
        <translation>Hello, and welcome to Tramelo, a serial download and debugging tool for microcontrollers.<byte value="xd"/>
<byte value="xd"/>
Main functions:<byte value="xd"/>
 1. Serial ISP download to STC 8051 microcontrollers: STC89C51RC/52RC/55RD+/516RD+,<byte value="xd"/>
    the STC10/11/12, STC15 and STC8 series (any model, named by the chip);<byte value="xd"/>
 2. Serial ISP download to NXP LPC2000 ARM7 (LPC2214/2292/2131/2132/2136/2138);<byte value="xd"/>
 3. Serial ISP download to STM32 (the USART boot loaders of F0/F1/F2/F3/F4/F7, G0/G4, L0/L1/L4/L5, U5, H7, C0, WB/WL);<byte value="xd"/>
 4. Chip model and crystal frequency found automatically, the model may be left unselected; the STC15/STC8 internal RC clock is trimmed;<byte value="xd"/>
 5. BIN and Intel HEX target files, checked before the download;<byte value="xd"/>
 6. Automatic reset of the target board through RTS/DTR before the download; STM32 read-back verification;<byte value="xd"/>
 7. Automatic re-download when the target file changes; the window comes back when one fails;<byte value="xd"/>
 8. Progress shown live in the status bar, the message area and the progress bar (percentage and time); a download can be stopped;<byte value="xd"/>
 9. The download messages can be saved to a file (context menu);<byte value="xd"/>
10. Serial terminal: COM1 ~ COM8 (with the device each stands for), 110 ~ 115200 baud;<byte value="xd"/>
11. Data bits 5~8, stop bits 1/1.5/2, parity None/Odd/Even/Mark/Space;<byte value="xd"/>
12. Received data shown as text or hexadecimal (HEX);<byte value="xd"/>
13. Sending as text or hexadecimal (HEX);<byte value="xd"/>
14. Optional new line (CR LF) after sending;<byte value="xd"/>
15. Send on key press: each character typed in the send area is sent;<byte value="xd"/>
16. Timed sending, every 1 ~ 9999 ms;<byte value="xd"/>
17. Loading a file into the send area, saving the receive area to a file;<byte value="xd"/>
18. Manual control of the DTR and RTS lines; sent (S:) and received (R:) byte counters;<byte value="xd"/>
19. Settings and window size saved on close and loaded on start;<byte value="xd"/>
20. Chinese text shown without garbling; a command line (tramelo download/read/ports/simulate) and virtual boards.<byte value="xd"/>
<byte value="xd"/>
Disclaimer: this software is provided &quot;as is&quot;; the author is not liable for any loss caused by its use.<byte value="xd"/>
Comments and suggestions are welcome: author@orvel.example</translation>
    </message>
    <message>
        <source>STC89 支持的 Oscillator:</source>
        <translation>Oscillators supported for the STC89:</translation>
    </message>
    <message>
        <source>STC15、STC8 的内部 RC 时钟按&quot;时钟&quot;栏的频率校准；STC12/15/8 的选项在下方选择。</source>
        <translation>The STC15 and STC8 internal RC clock is trimmed to the &quot;Clock&quot; field; the STC12/15/8 options are chosen below.</translation>
    </message>
    <message>
        <source>以上各类中的型号选择，在ISP下载时可以忽略型号，软件自动识别并控制相应的下载命令。</source>
        <translation>Within each kind the model may be left unselected: the ISP download identifies the part and chooses its commands.</translation>
    </message>
    <message>
        <source>■STC 8051 增强型     【STC10/11/12、STC15、STC8 系列，型号由芯片自报】</source>
        <translation>■STC 8051 enhanced           [STC10/11/12, STC15, STC8 series; the chip names its model]</translation>
    </message>
    <message>
        <source>■ARM Cortex-M 处理器 【STM32 F0、F1、F2、F3、F4、F7、G0、G4、L0、L1、L4、L5、U5、H7、C0、WB、WL】</source>
        <translation>■ARM Cortex-M processors     [STM32 F0, F1, F2, F3, F4, F7, G0, G4, L0, L1, L4, L5, U5, H7, C0, WB, WL]</translation>
    </message>
    <message>
        <source>最近使用的文件</source>
        <translation>Recent files</translation>
    </message>
    <message>
        <source>保存为日志...</source>
        <translation>Save as log...</translation>
    </message>
    <message>
        <source>日志无法保存: %1</source>
        <translation>The log cannot be saved: %1</translation>
    </message>
    <message>
        <source>目前版本支持MCU设备:</source>
        <translation>Devices supported by this version:</translation>
    </message>
    <message>
        <source>■ARM7 32位处理器     【LPC2214、LPC2292、LPC2131、LPC2132、LPC2136、LPC2138】</source>
        <translation>■ARM7 32-bit processors      [LPC2214, LPC2292, LPC2131, LPC2132, LPC2136, LPC2138]</translation>
    </message>
    <message>
        <source>■STC 8051 微处理器   【STC89C51RC、STC89C52RC、STC89C55RD+、STC89C516RD+】</source>
        <translation>■STC 8051 microcontrollers   [STC89C51RC, STC89C52RC, STC89C55RD+, STC89C516RD+]</translation>
    </message>
    <message>
        <source>8.000M、11.0592M、12.00M、18.432M、22.1184M、24.00M、36.864M ！</source>
        <translation>8.000M, 11.0592M, 12.00M, 18.432M, 22.1184M, 24.00M, 36.864M!</translation>
    </message>
    <message>
        <source>Orvel-ISP V1.60  Orvel科技</source>
        <translation>Orvel-ISP V1.60  Orvel Technology</translation>
    </message>
    <message>
        <source>Orvel科技 —— 专注单片机开发工具：ISP下载、串口调试，一个工具全部搞定！   欢迎访问 www.orvel.example</source>
        <translation>Orvel Technology — tools for microcontroller developers: ISP download and serial debugging, all in one tool!   Visit www.orvel.example</translation>
    </message>
    <message>
        <source>注册软件</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>未知的原因，创建注册信息失败！</source>
        <translation>Creating the settings failed for an unknown reason!</translation>
    </message>
    <message>
        <source>就绪</source>
        <translation>Ready</translation>
    </message>
    <message>
        <source>接收区<byte value="xd"/>
%1</source>
        <translation>Receive area<byte value="xd"/>
%1</translation>
    </message>
    <message>
        <source>欢迎使用 Tramelo</source>
        <translation>Welcome to Tramelo</translation>
    </message>
    <message>
        <source>测试报告:</source>
        <translation>Test report:</translation>
    </message>
    <message>
        <source>接收区<byte value="xd"/>
http://www.orvel.example</source>
        <translation>Receive area<byte value="xd"/>
http://www.orvel.example</translation>
    </message>
    <message>
        <source>DB9串口信号线定义</source>
        <translation>DB9 serial signal assignment</translation>
    </message>
    <message>
        <source>MCU 设备</source>
        <translation>Device</translation>
    </message>
    <message>
        <source>文件名称</source>
        <translation>File</translation>
    </message>
    <message>
        <source>选择目标文件</source>
        <translation>Choose the target file</translation>
    </message>
    <message>
        <source>串口号</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>波特率</source>
        <translation>Baud</translation>
    </message>
    <message>
        <source>超时值      sec</source>
        <translation>Timeout s</translation>
    </message>
    <message>
        <source>自动复位</source>
        <translation>Auto reset</translation>
    </message>
    <message>
        <source>选用时：<byte value="xd"/>上载前 RTS=ON(10ms)DTR=ON(50ms)DTR=OFF (600ms)开始同步命令</source>
        <translation>When checked:<byte value="xd"/>before the download RTS=ON (10ms) DTR=ON (50ms) DTR=OFF (600ms), then the sync command starts</translation>
    </message>
    <message>
        <source>复位时间     ms</source>
        <translation>Reset time   ms</translation>
    </message>
    <message>
        <source>自动程序上载</source>
        <translation>Auto ISP</translation>
    </message>
    <message>
        <source>选用后：<byte value="xd"/>目标文件(*.bin或*.hex)更新时，自动进行上载操作。</source>
        <translation>When checked:<byte value="xd"/>the download starts by itself whenever the target file (*.bin or *.hex) changes.</translation>
    </message>
    <message>
        <source> 6T / 双倍速<byte value="xd"/>12T / 单倍速</source>
        <translation> 6T / double speed<byte value="xd"/>12T / single speed</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Download</translation>
    </message>
    <message>
        <source> 程序下载(ISP)</source>
        <translation> Download (ISP)</translation>
    </message>
    <message>
        <source>数据位</source>
        <translation>Data</translation>
    </message>
    <message>
        <source>停止位</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>奇偶位</source>
        <translation>Parity</translation>
    </message>
    <message>
        <source>打开串口</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>HEX显示</source>
        <translation>HEX view</translation>
    </message>
    <message>
        <source>清空接收区</source>
        <translation>Clear RX</translation>
    </message>
    <message>
        <source>保存接收区</source>
        <translation>Save RX</translation>
    </message>
    <message>
        <source>发送区
http://www.orvel.example</source>
        <translation>Send area
http://www.orvel.example</translation>
    </message>
    <message>
        <source>发送(&amp;S)</source>
        <translation>&amp;Send</translation>
    </message>
    <message>
        <source>读入文件</source>
        <translation>Load file</translation>
    </message>
    <message>
        <source>清空发送区</source>
        <translation>Clear TX</translation>
    </message>
    <message>
        <source>HEX发送</source>
        <translation>HEX send</translation>
    </message>
    <message>
        <source>发送新行</source>
        <translation>New line</translation>
    </message>
    <message>
        <source>按键即发</source>
        <translation>Send on key</translation>
    </message>
    <message>
        <source>发送后清空发送区</source>
        <translation>Clear after send</translation>
    </message>
    <message>
        <source>定时发送</source>
        <translation>Repeat</translation>
    </message>
    <message>
        <source>ms/次</source>
        <translation>ms</translation>
    </message>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source> 串口调试助手</source>
        <translation> Serial terminal</translation>
    </message>
    <message>
        <source> 关于</source>
        <translation> About</translation>
    </message>
    <message>
        <source> Orvel 论坛 bbs.orvel.example</source>
        <translation> Orvel forum bbs.orvel.example</translation>
    </message>
    <message>
        <source>关闭串口</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>校验</source>
        <translation>Verify</translation>
    </message>
    <message>
        <source>时钟</source>
        <translation>Clock</translation>
    </message>
    <message>
        <source>LPC: 晶振频率 (kHz)，空白为 11059.2；Cortex-M 芯片用 12000</source>
        <translation>LPC: crystal frequency (kHz), empty for 11059.2; Cortex-M parts use 12000</translation>
    </message>
    <message>
        <source>STC15/STC8: RC 时钟频率 (MHz)，空白则保持芯片原有的频率</source>
        <translation>STC15/STC8: RC clock frequency (MHz); empty keeps the chip's own</translation>
    </message>
    <message>
        <source>STM32: 每块写入后读回比较，不符时重写 (通信量加倍)</source>
        <translation>STM32: read each block back after writing it and rewrite it on a mismatch (doubles the traffic)</translation>
    </message>
    <message>
        <source>设置文件大于 %1 KB，未读取；本次使用默认设置，关闭时不保存。
%2</source>
        <translation>The settings file is larger than %1 KB and was not read; default settings are used and not saved on exit.
%2</translation>
    </message>
    <message>
        <source>设置文件不是普通文件，未读取；本次使用默认设置，关闭时不保存。
%1</source>
        <translation>The settings file is not a regular file and was not read; default settings are used and not saved on exit.
%1</translation>
    </message>
    <message>
        <source>当前串口号操作错误 ！<byte value="xd"/>请选择其它串口，或检查串口是否已经无效。</source>
        <translation>Error on the current port!<byte value="xd"/>Choose another port, or check whether the port still exists.</translation>
    </message>
    <message>
        <source>下载正在使用 %1，请等下载结束</source>
        <translation>The download is using %1; wait for its end</translation>
    </message>
    <message>
        <source>正在下载，关闭窗口将中止下载，芯片中的程序将不完整。<byte value="xd"/>确定要关闭吗？</source>
        <translation>A download is running. Closing the window ends it and leaves the chip partly written.<byte value="xd"/>Close anyway?</translation>
    </message>
    <message>
        <source>时间戳</source>
        <translation>Stamps</translation>
    </message>
    <message>
        <source>接收的每一行（HEX显示时每一段）前加上<byte value="xd"/>第一个字节到达的时间</source>
        <translation>Each received line (in the HEX view each burst) begins with<byte value="xd"/>the time its first byte arrived</translation>
    </message>
    <message>
        <source>HEX显示时：静默超过此时间后收到的数据<byte value="xd"/>另起一行并加时间戳</source>
        <translation>HEX view: data after a silence longer than this<byte value="xd"/>starts a new line with its own time stamp</translation>
    </message>
    <message>
        <source>时间戳间隔 (ms)</source>
        <translation>Time stamp gap (ms)</translation>
    </message>
    <message>
        <source>记录</source>
        <translation>Log</translation>
    </message>
    <message>
        <source>记录到文件…</source>
        <translation>Log to file…</translation>
    </message>
    <message>
        <source>同时记录发送的数据</source>
        <translation>Log sent data too</translation>
    </message>
    <message>
        <source>记录到文件</source>
        <translation>Log to file</translation>
    </message>
    <message>
        <source>曲线图</source>
        <translation>Plot</translation>
    </message>
    <message>
        <source>把接收的每一行中的数值画成曲线</source>
        <translation>Draw the numbers of each received line as curves</translation>
    </message>
    <message>
        <source>发送新行、定时发送和按键即发的回车所用的行结束符</source>
        <translation>Line ending of New line, Repeat and Enter under Send on key</translation>
    </message>
    <message>
        <source>行结束符</source>
        <translation>Line ending</translation>
    </message>
    <message>
        <source>串口设备已断开（已拔出？），等待它重新连接 …</source>
        <translation>The port's device is gone (unplugged?); waiting for it to come back …</translation>
    </message>
    <message>
        <source>串口设备已重新连接：%1</source>
        <translation>The port's device is back: %1</translation>
    </message>
    <message>
        <source>记录已停止：%1 (%2)</source>
        <translation>Log stopped: %1 (%2)</translation>
    </message>
    <message>
        <source>不能打开记录文件：%1 (%2)</source>
        <translation>Cannot open the log file: %1 (%2)</translation>
    </message>
    <message>
        <source>记录到文件：%1</source>
        <translation>Logging to %1</translation>
    </message>
    <message>
        <source>选用后：<byte value="xd"/>于发送区窗口键入的字符即时发送，<byte value="xd"/>回车发送所选的行结束符</source>
        <translation>When checked:<byte value="xd"/>what is typed in the send area is sent at once,<byte value="xd"/>Enter as the chosen line ending</translation>
    </message>
    <message>
        <source>串口读取失败（设备已拔出？），已关闭串口</source>
        <translation>Port read failed (unplugged?)</translation>
    </message>
</context>
<context>
    <name>TPlotWindow</name>
    <message>
        <source>曲线图 - Tramelo</source>
        <translation>Plot - Tramelo</translation>
    </message>
    <message>
        <source>时间 (s)</source>
        <translation>Time (s)</translation>
    </message>
    <message>
        <source>曲线</source>
        <translation>Curves</translation>
    </message>
    <message>
        <source>暂停(&amp;P)</source>
        <translation>&amp;Pause</translation>
    </message>
    <message>
        <source>放大(&amp;+)</source>
        <translation>Zoom in (&amp;+)</translation>
    </message>
    <message>
        <source>缩小(&amp;-)</source>
        <translation>Zoom out (&amp;-)</translation>
    </message>
    <message>
        <source>自动缩放(&amp;A)</source>
        <translation>&amp;Autoscale</translation>
    </message>
    <message>
        <source>自动缩放</source>
        <translation>Autoscale</translation>
    </message>
    <message>
        <source>显示最近(&amp;W)</source>
        <translation>Last (&amp;W)</translation>
    </message>
    <message>
        <source> 秒</source>
        <translation> s</translation>
    </message>
    <message>
        <source>显示最近的秒数</source>
        <translation>Seconds shown</translation>
    </message>
    <message>
        <source>导出CSV(&amp;E)…</source>
        <translation>&amp;Export CSV…</translation>
    </message>
    <message>
        <source>把显示范围内的全部数据（未抽稀）保存为 CSV 文件</source>
        <translation>Save every sample in the shown range (not thinned) as a CSV file</translation>
    </message>
    <message>
        <source>清除(&amp;C)</source>
        <translation>&amp;Clear</translation>
    </message>
</context>
<context>
    <name>cli</name>
    <message>
        <source>%1: 未知的步骤 '%2' (步骤: rts -rts dtr -dtr brk -brk NNms)</source>
        <translation>%1: unknown step '%2' (steps: rts -rts dtr -dtr brk -brk NNms)</translation>
    </message>
    <message>
        <source>%1: 步骤 '%2' 的等待超过 10000ms</source>
        <translation>%1: step '%2' waits longer than 10000ms</translation>
    </message>
    <message>
        <source>%1: 第 %2 步是空的</source>
        <translation>%1: step %2 is empty</translation>
    </message>
    <message>
        <source>--invert 取 rts 或 dtr</source>
        <translation>--invert takes rts or dtr</translation>
    </message>
    <message>
        <source>--power-cycle 缺少命令</source>
        <translation>--power-cycle needs a command</translation>
    </message>
    <message>
        <source>--no-reset 表示不用任何序列: 不能与 --entry 或 --exit 一起用</source>
        <translation>--no-reset means no line sequence: it cannot go with --entry or --exit</translation>
    </message>
    <message>
        <source>--address 需要一个地址 (十进制或 0x 十六进制)</source>
        <translation>--address takes an address (decimal or 0x hex)</translation>
    </message>
    <message>
        <source>--report 缺少文件名</source>
        <translation>--report needs a file</translation>
    </message>
    <message>
        <source>--serial 的格式是 ADDR[:START[:STEP]] (STEP 至少为 1)</source>
        <translation>--serial takes ADDR[:START[:STEP]] (STEP at least 1)</translation>
    </message>
    <message>
        <source>--serial-format 只能是 u32le 或 ascii:N (N 为 1 到 20)</source>
        <translation>--serial-format takes u32le or ascii:N (N from 1 to 20)</translation>
    </message>
    <message>
        <source>--serial-state 缺少文件名</source>
        <translation>--serial-state needs a file</translation>
    </message>
    <message>
        <source>--serial 需要 --serial-state FILE 或 --report FILE (计数文件在报告旁边)</source>
        <translation>--serial needs --serial-state FILE or --report FILE (the counter lies beside the report)</translation>
    </message>
    <message>
        <source>%1: 序列号的地址 %2 处已有映像的数据</source>
        <translation>%1: the serial number's address %2 holds data of the image</translation>
    </message>
    <message>
        <source>%1: 无法取得序列号: %2</source>
        <translation>%1: no serial number can be taken: %2</translation>
    </message>
    <message>
        <source>序列号 %1 放不下</source>
        <translation>Serial number %1 does not fit</translation>
    </message>
    <message>
        <source>%1: 无法写出带序列号的映像</source>
        <translation>%1: the image with its serial number cannot be written</translation>
    </message>
    <message>
        <source>%1: 无法打开报告文件: %2</source>
        <translation>%1: the report cannot be opened: %2</translation>
    </message>
    <message>
        <source>%1: 无法写入报告: %2</source>
        <translation>%1: the report cannot be written: %2</translation>
    </message>
    <message>
        <source>计数文件中没有数字</source>
        <translation>the counter file holds no number</translation>
    </message>
    <message>
        <source>计数已用尽</source>
        <translation>the counter has run out</translation>
    </message>
    <message>
        <source>不是普通文件</source>
        <translation>not a regular file</translation>
    </message>
    <message>
        <source>演示：虚拟板接在 COM1</source>
        <translation>Demo: virtual board on COM1</translation>
    </message>
    <message>
        <source>%1: 文件不存在</source>
        <translation>%1: no such file</translation>
    </message>
    <message>
        <source>%1: 不是普通文件</source>
        <translation>%1: not a regular file</translation>
    </message>
    <message>
        <source>%1: 64 KiB 映像范围内没有数据</source>
        <translation>%1: no data within the 64 KiB image</translation>
    </message>
    <message>
        <source>%1: 无法写入文件</source>
        <translation>%1: cannot write the file</translation>
    </message>
    <message>
        <source>%1: 文件夹不存在或不可写</source>
        <translation>%1: the folder does not exist or cannot be written</translation>
    </message>
    <message>
        <source>%1: 是符号链接，不跟随</source>
        <translation>%1: a symbolic link, not followed</translation>
    </message>
    <message>
        <source>%1: 下载被中止</source>
        <translation>%1: the download was ended</translation>
    </message>
    <message>
        <source>%1: 读取被中止</source>
        <translation>%1: the read was ended</translation>
    </message>
    <message>
        <source>%1: 无法打开串口 (%2)</source>
        <translation>%1: cannot open the port (%2)</translation>
    </message>
    <message>
        <source>--unprotect: 读保护的芯片先解除保护，芯片将擦除整片 Flash</source>
        <translation>--unprotect: a read-protected chip is unprotected first, which erases its whole flash</translation>
    </message>
    <message>
        <source>%1: 不是符号链接，不替换</source>
        <translation>%1: not a symbolic link; not replaced</translation>
    </message>
    <message>
        <source>%1: 指向仍存在的 %2（正在运行的虚拟板？），不替换</source>
        <translation>%1: points to %2, which still exists (a running board?); not replaced</translation>
    </message>
    <message>
        <source>%1 缺少参数值</source>
        <translation>%1 needs a value</translation>
    </message>
    <message>
        <source>串口重复: %1</source>
        <translation>port given twice: %1</translation>
    </message>
    <message>
        <source>串口重复: %1 与 %2 是同一个设备</source>
        <translation>port given twice: %1 and %2 are one device</translation>
    </message>
    <message>
        <source>--board 的格式为 DEV,PORT,FILE: %1</source>
        <translation>--board takes DEV,PORT,FILE: %1</translation>
    </message>
    <message>
        <source>不支持的波特率: %1</source>
        <translation>unsupported rate: %1</translation>
    </message>
    <message>
        <source>--reset-ms 取 1 到 999 的整数</source>
        <translation>--reset-ms takes a number from 1 to 999</translation>
    </message>
    <message>
        <source>--timeout 取 1 到 99 的整数</source>
        <translation>--timeout takes a number from 1 to 99</translation>
    </message>
    <message>
        <source>--clock 取 1 到 45 的频率 (MHz)</source>
        <translation>--clock takes a frequency in MHz from 1 to 45</translation>
    </message>
    <message>
        <source>--option 取 eeprom-erase、reset-pin 或 low-voltage-reset，=on 或 =off: %1</source>
        <translation>--option takes eeprom-erase, reset-pin or low-voltage-reset =on or =off: %1</translation>
    </message>
    <message>
        <source>未知选项: %1</source>
        <translation>unknown option: %1</translation>
    </message>
    <message>
        <source>多于一个文件: %1</source>
        <translation>more than one file: %1</translation>
    </message>
    <message>
        <source>缺少 --device</source>
        <translation>--device is missing</translation>
    </message>
    <message>
        <source>缺少 --port</source>
        <translation>--port is missing</translation>
    </message>
    <message>
        <source>缺少固件文件</source>
        <translation>the firmware file is missing</translation>
    </message>
    <message>
        <source>一次最多八个串口</source>
        <translation>at most eight ports at once</translation>
    </message>
    <message>
        <source>%1 只用于 %2 器件: %3</source>
        <translation>%1 is for %2 devices: %3</translation>
    </message>
    <message>
        <source>未知或不唯一的器件: %1</source>
        <translation>unknown or ambiguous device: %1</translation>
    </message>
    <message>
        <source>--port 取 COM1..COM8 或设备路径</source>
        <translation>--port takes COM1..COM8 or a device path</translation>
    </message>
    <message>
        <source>%1: 大于 64 KiB 代码空间</source>
        <translation>%1: larger than the 64 KiB code space</translation>
    </message>
    <message>
        <source>下载一小时内没有结束</source>
        <translation>the download did not end within an hour</translation>
    </message>
    <message>
        <source>已写入</source>
        <translation>written</translation>
    </message>
    <message>
        <source>文件不可用</source>
        <translation>file refused</translation>
    </message>
    <message>
        <source>串口未打开</source>
        <translation>port not opened</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>failed</translation>
    </message>
    <message>
        <source>串口</source>
        <translation>port</translation>
    </message>
    <message>
        <source>芯片</source>
        <translation>chip</translation>
    </message>
    <message>
        <source>结果</source>
        <translation>result</translation>
    </message>
    <message>
        <source>秒</source>
        <translation>seconds</translation>
    </message>
    <message>
        <source>未结束</source>
        <translation>not ended</translation>
    </message>
    <message>
        <source>未知命令: %1</source>
        <translation>unknown command: %1</translation>
    </message>
    <message>
        <source>ports 不带参数</source>
        <translation>ports takes no arguments</translation>
    </message>
    <message>
        <source>--address 取一个数: %1</source>
        <translation>--address takes a number: %1</translation>
    </message>
    <message>
        <source>--length 取大于 0 的数: %1</source>
        <translation>--length takes a number above 0: %1</translation>
    </message>
    <message>
        <source>--crystal 取以 kHz 为单位的晶振频率 (1 到 100000，例如 11059.2)</source>
        <translation>--crystal takes the oscillator in kHz (1 to 100000, for example 11059.2)</translation>
    </message>
    <message>
        <source>LPC: --address 与 --length 须为 4 的倍数</source>
        <translation>LPC: --address and --length take multiples of 4</translation>
    </message>
    <message>
        <source>read 只用于 STM32 和 LPC 器件: %1</source>
        <translation>read is for STM32 and LPC devices: %1</translation>
    </message>
    <message>
        <source>缺少输出文件</source>
        <translation>the output file is missing</translation>
    </message>
    <message>
        <source>读取范围超出 32 位地址空间</source>
        <translation>the range runs past the 32-bit address space</translation>
    </message>
    <message>
        <source>读取范围 %1 .. %2 不在芯片的 Flash (%3 .. %4) 之内</source>
        <translation>the range %1 .. %2 is not inside the chip&apos;s flash (%3 .. %4)</translation>
    </message>
    <message>
        <source>%1: 指向 %2，不是虚拟板的终端，不替换</source>
        <translation>%1: points to %2, not a virtual board&apos;s terminal; not replaced</translation>
    </message>
    <message>
        <source>%1: 另一个正在运行的虚拟板使用这个文件</source>
        <translation>%1: another running virtual board uses this file</translation>
    </message>
    <message>
        <source>--id 取十六进制的产品 ID，例如 413</source>
        <translation>--id takes a product id in hex, such as 413</translation>
    </message>
    <message>
        <source>--baud 取 1 到 %1 的波特率</source>
        <translation>--baud takes a rate from 1 to %1</translation>
    </message>
    <message>
        <source>未知参数: %1</source>
        <translation>unknown argument: %1</translation>
    </message>
    <message>
        <source>--id 只用于 STM32 虚拟板</source>
        <translation>--id is for an STM32 board</translation>
    </message>
    <message>
        <source>--get-checksum 只用于 STM32 虚拟板</source>
        <translation>--get-checksum is for an STM32 board</translation>
    </message>
    <message>
        <source>--baud %1 只用于 STM32 器件 (%2 取 110 到 115200 的波特率: 110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600 115200)</source>
        <translation>--baud %1 is for STM32 devices only (%2 takes a rate from 110 to 115200: 110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600 115200)</translation>
    </message>
    <message>
        <source>没有 %1 的虚拟板</source>
        <translation>no virtual board of %1</translation>
    </message>
    <message>
        <source>无法创建伪终端 (%1)</source>
        <translation>cannot make a pseudo-terminal (%1)</translation>
    </message>
    <message>
        <source>%1: 无法创建符号链接 (%2)</source>
        <translation>%1: cannot make the symbolic link (%2)</translation>
    </message>
    <message>
        <source>--demo 不带参数</source>
        <translation>--demo takes no arguments</translation>
    </message>
    <message>
        <source>无法创建管道 (%1)</source>
        <translation>cannot make a pipe (%1)</translation>
    </message>
</context>
<context>
    <name>devices</name>
    <message>
        <source>%1 家族</source>
        <translation>%1 family</translation>
    </message>
    <message>
        <source>%1 (任意型号)</source>
        <translation>%1 (any part)</translation>
    </message>
    <message>
        <source>%1 (其它系列)</source>
        <translation>%1 (other lines)</translation>
    </message>
</context>
<context>
    <name>entry</name>
    <message>
        <source>串口不能设置 RTS/DTR（虚拟串口没有这些线），复位序列没有作用，继续下载</source>
        <translation>The port cannot set RTS/DTR (a pseudo-terminal has no such lines): the reset sequence had no effect; the download goes on</translation>
    </message>
    <message>
        <source>请把 BOOT0 接高电平，然后按目标板的复位键</source>
        <translation>Set BOOT0 high, then press the board's reset button</translation>
    </message>
    <message>
        <source>请把 ISP 引脚 (P0.14) 接低电平，然后按目标板的复位键</source>
        <translation>Hold the ISP pin (P0.14) low, then press the board's reset button</translation>
    </message>
    <message>
        <source>请现在关闭目标板的电源，再打开</source>
        <translation>Switch the board's power off now, then on again</translation>
    </message>
    <message>
        <source>运行电源命令: %1</source>
        <translation>Running the power command: %1</translation>
    </message>
    <message>
        <source>电源命令失败，退出码 %1</source>
        <translation>The power command failed, exit status %1</translation>
    </message>
    <message>
        <source>电源命令被信号终止</source>
        <translation>The power command was ended by a signal</translation>
    </message>
    <message>
        <source>电源命令超时（%1 秒），已终止</source>
        <translation>The power command timed out (%1 s) and was killed</translation>
    </message>
    <message>
        <source>电源命令无法启动: %1</source>
        <translation>The power command could not be started: %1</translation>
    </message>
    <message>
        <source>（电源命令的其余输出从略）</source>
        <translation>(the rest of the power command's output is left out)</translation>
    </message>
</context>
<context>
    <name>firmware</name>
    <message>
        <source>HEX文件格式错误: 第 %1 行</source>
        <translation>HEX format error: line %1</translation>
    </message>
    <message>
        <source>HEX文件记录不完整: 第 %1 行</source>
        <translation>Short HEX record: line %1</translation>
    </message>
    <message>
        <source>HEX文件校验和错误: 第 %1 行</source>
        <translation>Bad HEX checksum: line %1</translation>
    </message>
    <message>
        <source>HEX文件没有结束记录: 文件止于第 %1 行</source>
        <translation>No end record after line %1</translation>
    </message>
    <message>
        <source>文件无法读取</source>
        <translation>The file cannot be read</translation>
    </message>
    <message>
        <source>HEX文件太大，不能超过 64 MB</source>
        <translation>HEX file over 64 MB</translation>
    </message>
    <message>
        <source>文件路径中的符号链接形成循环</source>
        <translation>Symbolic link loop in path</translation>
    </message>
    <message>
        <source>文件太大: 映像的数据不能超过 2 MB</source>
        <translation>File too large: the image may hold at most 2 MB of data</translation>
    </message>
    <message>
        <source>文件中没有可下载的数据</source>
        <translation>No data to download</translation>
    </message>
    <message>
        <source>S记录文件记录不完整: 第 %1 行</source>
        <translation>Short S-record: line %1</translation>
    </message>
    <message>
        <source>S记录文件校验和错误: 第 %1 行</source>
        <translation>Bad S-record checksum: line %1</translation>
    </message>
    <message>
        <source>S记录文件格式错误: 第 %1 行</source>
        <translation>S-record format error: line %1</translation>
    </message>
    <message>
        <source>S记录文件的记录数与第 %1 行的 S%2 记录不符: 记录 %3 条，实有 %4 条</source>
        <translation>The S%2 record on line %1 counts %3 data records; the file has %4</translation>
    </message>
    <message>
        <source>S记录文件没有结束记录 (S7/S8/S9): 文件止于第 %1 行</source>
        <translation>No S7/S8/S9 end record after line %1</translation>
    </message>
    <message>
        <source>ELF文件损坏: %1</source>
        <translation>Damaged ELF file: %1</translation>
    </message>
    <message>
        <source>文件头不完整或无效</source>
        <translation>its header is cut short or invalid</translation>
    </message>
    <message>
        <source>程序头表无效</source>
        <translation>its program header table is invalid</translation>
    </message>
    <message>
        <source>程序头 %1 无法读取</source>
        <translation>program header %1 cannot be read</translation>
    </message>
    <message>
        <source>段 %1 超出文件末尾</source>
        <translation>segment %1 runs past the end of the file</translation>
    </message>
    <message>
        <source>段 %1 的文件大小大于内存大小</source>
        <translation>segment %1 has more file bytes than memory bytes</translation>
    </message>
    <message>
        <source>段 %1 超出地址空间</source>
        <translation>segment %1 runs past the end of the address space</translation>
    </message>
    <message>
        <source>段 %1 和段 %2 的地址重叠 (%3..%4)</source>
        <translation>segments %1 and %2 overlap (%3..%4)</translation>
    </message>
    <message>
        <source>ELF文件中没有带数据的可加载段</source>
        <translation>The ELF file has no loadable segment with data</translation>
    </message>
    <message>
        <source>S记录文件太大，不能超过 64 MB</source>
        <translation>S-record file over 64 MB</translation>
    </message>
    <message>
        <source>ELF文件太大，不能超过 64 MB</source>
        <translation>ELF file over 64 MB</translation>
    </message>
    <message>
        <source>文件不存在</source>
        <translation>File not found</translation>
    </message>
    <message>
        <source>所选的不是文件</source>
        <translation>The selection is not a file</translation>
    </message>
    <message>
        <source>文件太大，不能超过 64 MB</source>
        <translation>File over 64 MB</translation>
    </message>
    <message>
        <source>S记录文件</source>
        <translation>S-record file</translation>
    </message>
    <message>
        <source>HEX文件</source>
        <translation>HEX file</translation>
    </message>
    <message>
        <source>警告: %1第 %2 行和第 %3 行给地址 %4 不同的数据，写入的是第 %3 行的</source>
        <translation>Warning: %1 lines %2 and %3 give address %4 different bytes; line %3's are written</translation>
    </message>
    <message>
        <source>映像数据 %1..%2 不在芯片的 Flash 范围 %3..%4 内</source>
        <translation>Image data %1..%2 lies outside the chip's flash %3..%4</translation>
    </message>
</context>
<context>
    <name>hexlib</name>
    <message>
        <source>使用程序内置的HEX解码库</source>
        <translation>Using the program's built-in HEX decoding library</translation>
    </message>
    <message>
        <source>使用程序内置的HEX解码库（已跳过 %1）</source>
        <translation>Using the program's built-in HEX decoding library (passed over %1)</translation>
    </message>
    <message>
        <source>已跳过HEX解码库 %1</source>
        <translation>Passed over HEX decoding library %1</translation>
    </message>
    <message>
        <source>不是文件夹</source>
        <translation>not a folder</translation>
    </message>
    <message>
        <source>不是普通文件</source>
        <translation>not a regular file</translation>
    </message>
    <message>
        <source>属于其他用户 (uid %1)</source>
        <translation>owned by another user (uid %1)</translation>
    </message>
    <message>
        <source>组或其他用户可写 (权限 %1)</source>
        <translation>writable by group or others (mode %1)</translation>
    </message>
    <message>
        <source>文件夹: %1</source>
        <translation>folder: %1</translation>
    </message>
    <message>
        <source>符号链接</source>
        <translation>a symbolic link</translation>
    </message>
</context>
<context>
    <name>lines</name>
    <message>
        <source>未知的步骤: “%1”</source>
        <translation>Unknown step: “%1”</translation>
    </message>
    <message>
        <source>等待时间超出 0-10000 ms: “%1”</source>
        <translation>Wait outside 0-10000 ms: “%1”</translation>
    </message>
    <message>
        <source>第 %1 步是空的</source>
        <translation>Step %1 is empty</translation>
    </message>
    <message>
        <source>RTS 有效</source>
        <translation>RTS asserted</translation>
    </message>
    <message>
        <source>RTS 无效</source>
        <translation>RTS released</translation>
    </message>
    <message>
        <source>DTR 有效</source>
        <translation>DTR asserted</translation>
    </message>
    <message>
        <source>DTR 无效</source>
        <translation>DTR released</translation>
    </message>
    <message>
        <source>开始 break（发送线保持低电平）</source>
        <translation>Break starts (the transmit line held at space)</translation>
    </message>
    <message>
        <source>结束 break</source>
        <translation>Break ends</translation>
    </message>
    <message>
        <source>等待 %1 ms</source>
        <translation>Wait %1 ms</translation>
    </message>
</context>
<context>
    <name>engines</name>
    <message>
        <source>无应答: %1</source>
        <translation>No answer: %1</translation>
    </message>
</context>
<context>
    <name>lpc</name>
    <message>
        <source>器件序列号: %1</source>
        <translation>Device serial number: %1</translation>
    </message>
    <message>
        <source>正在查找。。。</source>
        <translation>Searching...</translation>
    </message>
    <message>
        <source>正在查找设备  %1</source>
        <translation>Searching for device  %1</translation>
    </message>
    <message>
        <source>无法和设备通讯，请重新复位</source>
        <translation>No answer: reset the board</translation>
    </message>
    <message>
        <source>已成功连接</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>同步已建立</source>
        <translation>Sync established</translation>
    </message>
    <message>
        <source>波特率发送成功</source>
        <translation>Baud rate sent</translation>
    </message>
    <message>
        <source>波特率发送失败</source>
        <translation>Sending the baud rate failed</translation>
    </message>
    <message>
        <source>解锁成功</source>
        <translation>Unlocked</translation>
    </message>
    <message>
        <source>已准备</source>
        <translation>Ready</translation>
    </message>
    <message>
        <source>读器件ID成功</source>
        <translation>Part ID read</translation>
    </message>
    <message>
        <source>读器件ID成功:%1</source>
        <translation>Part ID read: %1</translation>
    </message>
    <message>
        <source>读Boot代码版本成功</source>
        <translation>Boot code version read</translation>
    </message>
    <message>
        <source>读Boot代码版本成功:%1</source>
        <translation>Boot code version read: %1</translation>
    </message>
    <message>
        <source>正在擦除。。。</source>
        <translation>Erasing...</translation>
    </message>
    <message>
        <source>擦除成功</source>
        <translation>Erased</translation>
    </message>
    <message>
        <source>开始写入。。。</source>
        <translation>Writing...</translation>
    </message>
    <message>
        <source>正在写RAM数据</source>
        <translation>Writing RAM data</translation>
    </message>
    <message>
        <source>正在将RAM内容复制到Flash</source>
        <translation>Copying RAM to Flash</translation>
    </message>
    <message>
        <source>。</source>
        <translation>.</translation>
    </message>
    <message>
        <source>写入完成</source>
        <translation>Write complete</translation>
    </message>
    <message>
        <source>下载的过程中出错</source>
        <translation>Error during the download</translation>
    </message>
    <message>
        <source>LPC通信超时!</source>
        <translation>LPC link timed out!</translation>
    </message>
    <message>
        <source>文件中没有可下载的数据</source>
        <translation>No data to download</translation>
    </message>
    <message>
        <source>文件不存在</source>
        <translation>File not found</translation>
    </message>
    <message>
        <source>下载目标代码</source>
        <translation>Target code loaded</translation>
    </message>
    <message>
        <source>文件太大，不能用于%1K Flash的LPC ARM</source>
        <translation>Too big for LPC %1K Flash</translation>
    </message>
    <message>
        <source>未知的器件ID: %1 (0x%2)，器件表中没有这个型号，没有擦除任何内容</source>
        <translation>Unknown part id: %1 (0x%2); the device table has no such part, nothing was erased</translation>
    </message>
    <message>
        <source>器件: %1，Flash %2 KB，RAM %3 KB (%4)</source>
        <translation>Part: %1, Flash %2 KB, RAM %3 KB (%4)</translation>
    </message>
    <message>
        <source>%1 的 RAM 放不下一次复制的数据</source>
        <translation>The RAM of %1 cannot hold one copy</translation>
    </message>
    <message>
        <source>校验失败: Flash 0x%1 起 %2 字节的 CRC-32 为 0x%3，映像的为 0x%4</source>
        <translation>Verify failed: the CRC-32 of %2 bytes of flash from 0x%1 is 0x%3, the image&apos;s is 0x%4</translation>
    </message>
    <message>
        <source>未知的器件ID: %1 (0x%2)，器件表中没有这个型号</source>
        <translation>Unknown part id: %1 (0x%2); the device table has no such part</translation>
    </message>
    <message>
        <source>读取被拒绝: 地址 0x%1 (返回码 %2)</source>
        <translation>Read refused: address 0x%1 (return code %2)</translation>
    </message>
    <message>
        <source>比较失败: Flash 地址 0x%1 的内容与写入的数据不同</source>
        <translation>Compare failed: Flash at 0x%1 differs from the data written</translation>
    </message>
    <message>
        <source>向量表校验和 0x%1 (写入地址 0x%2)</source>
        <translation>Vector table checksum 0x%1 (written at 0x%2)</translation>
    </message>
    <message>
        <source>文件太大: 映像 %1 字节，芯片 Flash 只有 %2 字节</source>
        <translation>File too large: image %1 bytes, chip Flash only %2 bytes</translation>
    </message>
</context>
<context>
    <name>pictures</name>
    <message>
        <source>载波检测</source>
        <translation>Carrier detect</translation>
    </message>
    <message>
        <source>接收数据</source>
        <translation>Received data</translation>
    </message>
    <message>
        <source>发送数据</source>
        <translation>Transmitted data</translation>
    </message>
    <message>
        <source>数据终端就绪</source>
        <translation>Data terminal ready</translation>
    </message>
    <message>
        <source>信号地</source>
        <translation>Signal ground</translation>
    </message>
    <message>
        <source>数据设备就绪</source>
        <translation>Data set ready</translation>
    </message>
    <message>
        <source>请求发送</source>
        <translation>Request to send</translation>
    </message>
    <message>
        <source>清除发送</source>
        <translation>Clear to send</translation>
    </message>
    <message>
        <source>振铃指示</source>
        <translation>Ring indicator</translation>
    </message>
    <message>
        <source>DB9 串口信号线定义 (针座正视)</source>
        <translation>DB9 serial signals (front view)</translation>
    </message>
</context>
<context>
    <name>serial</name>
    <message>
        <source>%1 正被其它程序占用</source>
        <translation>%1 is in use by another program</translation>
    </message>
    <message>
        <source>%1 不是本机上的串口名</source>
        <translation>%1 does not name a serial port on this machine</translation>
    </message>
    <message>
        <source>%1: 没有访问权限</source>
        <translation>%1: permission denied</translation>
    </message>
    <message>
        <source>%1: 没有访问权限。设备属于组 &apos;%2&apos;: 请管理员给予访问权限 (用 udev 规则把设备交给 dialout 之类的组)。</source>
        <translation>%1: permission denied. The device belongs to the group &apos;%2&apos;: ask the administrator for access (a udev rule giving the device a group such as dialout).</translation>
    </message>
    <message>
        <source>%1: 没有访问权限，虽然用户在设备的组 &apos;%2&apos; 中: 设备的权限 (%3) 不给该组读写权。</source>
        <translation>%1: permission denied although the user is in the device&apos;s group &apos;%2&apos;: the device&apos;s mode (%3) gives that group no read and write access.</translation>
    </message>
    <message>
        <source>%1: 没有访问权限。设备属于组 &apos;%2&apos;: 把用户加入该组 (sudo usermod -aG %2 $USER) 后重新登录。</source>
        <translation>%1: permission denied. The device belongs to the group &apos;%2&apos;: add the user to it (sudo usermod -aG %2 $USER) and log in again.</translation>
    </message>
    <message>
        <source>%1 已经打开</source>
        <translation>%1 is already open</translation>
    </message>
    <message>
        <source>没有指定串口</source>
        <translation>No serial port given</translation>
    </message>
    <message>
        <source>%1: 串口不存在</source>
        <translation>%1: no such serial port</translation>
    </message>
    <message>
        <source>%1: 无法打开 (%2)</source>
        <translation>%1: cannot be opened (%2)</translation>
    </message>
    <message>
        <source>%1 不是串口</source>
        <translation>%1 is not a serial port</translation>
    </message>
    <message>
        <source>%1: 无法加锁 (%2)</source>
        <translation>%1: cannot be locked (%2)</translation>
    </message>
    <message>
        <source>%1: 无法设置线路 (%2)</source>
        <translation>%1: cannot set the line (%2)</translation>
    </message>
</context>
<context>
    <name>stc</name>
    <message>
        <source>状态包 (0x7F 同步脉冲之后)</source>
        <translation>status packet (after the 0x7F sync pulses)</translation>
    </message>
    <message>
        <source>握手</source>
        <translation>handshake</translation>
    </message>
    <message>
        <source>时钟校准</source>
        <translation>clock calibration</translation>
    </message>
    <message>
        <source>波特率测试</source>
        <translation>baud-rate test</translation>
    </message>
    <message>
        <source>波特率切换</source>
        <translation>baud-rate switch</translation>
    </message>
    <message>
        <source>控制信息</source>
        <translation>control information</translation>
    </message>
    <message>
        <source>准备写入</source>
        <translation>prepare to write</translation>
    </message>
    <message>
        <source>擦除</source>
        <translation>erase</translation>
    </message>
    <message>
        <source>写数据块 0x%1</source>
        <translation>write block 0x%1</translation>
    </message>
    <message>
        <source>写入结束</source>
        <translation>end of writing</translation>
    </message>
    <message>
        <source>写选项</source>
        <translation>option write</translation>
    </message>
    <message>
        <source>选项确认</source>
        <translation>option confirmation</translation>
    </message>
    <message>
        <source>文件太大，不能超过64 KB</source>
        <translation>The file is too large: at most 64 KB</translation>
    </message>
    <message>
        <source>上载文件不存在 ！</source>
        <translation>Upload file not found!</translation>
    </message>
    <message>
        <source>下载目标代码</source>
        <translation>Target code loaded</translation>
    </message>
    <message>
        <source>正在连机 。。。</source>
        <translation>Connecting...</translation>
    </message>
    <message>
        <source>连接超时 ！</source>
        <translation>Connection timed out!</translation>
    </message>
    <message>
        <source>连机成功! 固件版本:%1</source>
        <translation>Connected! Firmware version: %1</translation>
    </message>
    <message>
        <source>当前版本支持 MCU: 12C1052/89C51RC/89C52RC/89C55RD+/89C516RD+ ！</source>
        <translation>This version supports MCU: 12C1052/89C51RC/89C52RC/89C55RD+/89C516RD+!</translation>
    </message>
    <message>
        <source>未支持的 MCU ！</source>
        <translation>Unsupported MCU!</translation>
    </message>
    <message>
        <source>当前版本支持 Oscillator: 11.0592/12.00/18.432/22.1184/24.00/36.864 ！</source>
        <translation>This version supports oscillators: 11.0592/12.00/18.432/22.1184/24.00/36.864!</translation>
    </message>
    <message>
        <source>未支持的 Oscillator ！</source>
        <translation>Unsupported oscillator!</translation>
    </message>
    <message>
        <source>调整波特率一超时 ！</source>
        <translation>Baud rate step 1 timed out!</translation>
    </message>
    <message>
        <source>调整波特率一完成 ！</source>
        <translation>Baud rate step 1 done!</translation>
    </message>
    <message>
        <source>第二次调整波特率 。。。</source>
        <translation>Baud rate step 2...</translation>
    </message>
    <message>
        <source>调整波特率二超时 ！</source>
        <translation>Baud rate step 2 timed out!</translation>
    </message>
    <message>
        <source>调整波特率二完成 ！</source>
        <translation>Baud rate step 2 done!</translation>
    </message>
    <message>
        <source>正在发送控制信息 。。。</source>
        <translation>Sending control data...</translation>
    </message>
    <message>
        <source>写控制信息超时 ！</source>
        <translation>Control data timed out!</translation>
    </message>
    <message>
        <source>发送控制信息完成 ！</source>
        <translation>Control data sent!</translation>
    </message>
    <message>
        <source>正在擦除芯片 。。。</source>
        <translation>Erasing chip...</translation>
    </message>
    <message>
        <source>擦除芯片超时 ！</source>
        <translation>Chip erase timed out!</translation>
    </message>
    <message>
        <source>擦除芯片完成 ！</source>
        <translation>Chip erased!</translation>
    </message>
    <message>
        <source>正在上载数据 。。。</source>
        <translation>Uploading data...</translation>
    </message>
    <message>
        <source>上载数据超时 ！</source>
        <translation>Upload timed out!</translation>
    </message>
    <message>
        <source>设置为双倍速 ！</source>
        <translation>Setting double speed!</translation>
    </message>
    <message>
        <source>设置为单倍速 ！</source>
        <translation>Setting single speed!</translation>
    </message>
    <message>
        <source>设置选项超时 ！</source>
        <translation>Setting options timed out!</translation>
    </message>
    <message>
        <source>设置为双倍速完成 ！</source>
        <translation>Double speed set!</translation>
    </message>
    <message>
        <source>设置为单倍速完成 ！</source>
        <translation>Single speed set!</translation>
    </message>
    <message>
        <source>发送结束标志 ！</source>
        <translation>Sending end flag!</translation>
    </message>
    <message>
        <source>上载数据成功 ！</source>
        <translation>Upload complete!</translation>
    </message>
    <message>
        <source>复位时间无效 ！</source>
        <translation>Invalid reset time!</translation>
    </message>
    <message>
        <source>上载数据失败 ！</source>
        <translation>Upload failed!</translation>
    </message>
    <message>
        <source>/时钟频率: %1</source>
        <translation>/Clock: %1</translation>
    </message>
    <message>
        <source>地址 0x%1 的数据块: 芯片的应答不是有效的帧</source>
        <translation>Block at 0x%1: the chip's answer is not a valid frame</translation>
    </message>
    <message>
        <source>地址 0x%1 的数据块: 芯片收到的校验和 0x%2，应为 0x%3</source>
        <translation>Block at 0x%1: the chip received checksum 0x%2, expected 0x%3</translation>
    </message>
    <message>
        <source>文件太大: 映像 %1 字节，%2 的 Flash 只有 %3 字节</source>
        <translation>File too large: image %1 bytes, %2 has only %3 bytes of Flash</translation>
    </message>
    <message>
        <source>文件中没有可上载的数据 ！</source>
        <translation>No data to upload!</translation>
    </message>
    <message>
        <source>%1/时钟频率: %2M</source>
        <translation>%1/Clock: %2M</translation>
    </message>
    <message>
        <source>正在校准时钟 。。。</source>
        <translation>Calibrating the clock ...</translation>
    </message>
    <message>
        <source>校准时钟完成: %1M ！</source>
        <translation>Clock calibrated: %1M!</translation>
    </message>
    <message>
        <source>校准时钟超时 ！</source>
        <translation>Clock calibration timed out!</translation>
    </message>
    <message>
        <source>正在设置选项 。。。</source>
        <translation>Setting options ...</translation>
    </message>
    <message>
        <source>设置选项完成 ！</source>
        <translation>Options set!</translation>
    </message>
    <message>
        <source>芯片应答错误: %1</source>
        <translation>Wrong answer from the chip: %1</translation>
    </message>
    <message>
        <source>芯片的 RC 时钟从未校准，请选择时钟频率 ！</source>
        <translation>The chip's RC clock was never calibrated: choose a clock frequency!</translation>
    </message>
    <message>
        <source>无法把 RC 时钟校准到 %1M ！</source>
        <translation>The RC clock cannot be calibrated to %1M!</translation>
    </message>
    <message>
        <source>芯片时钟无法产生波特率 %1 ！</source>
        <translation>The chip's clock cannot make %1 baud!</translation>
    </message>
    <message>
        <source>文件太大，不能超过 %1 KB ！</source>
        <translation>File too large: at most %1 KB!</translation>
    </message>
    <message>
        <source>芯片拒绝下载 (已加锁) ！</source>
        <translation>The chip refuses the download (locked)!</translation>
    </message>
</context>
<context>
    <name>stm32</name>
    <message>
        <source>在 %1 波特率下未能同步: 芯片可能不支持这么高的速率，请用 %2 波特率再试 (--baud %2)</source>
        <translation>No synchronisation at %1 baud: the chip may not take so high a rate; try again at %2 baud (--baud %2)</translation>
    </message>
    <message>
        <source>正在查找设备。。。</source>
        <translation>Searching for device...</translation>
    </message>
    <message>
        <source>已成功连接</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>无法和设备通讯，请重新复位</source>
        <translation>No answer: reset the board</translation>
    </message>
    <message>
        <source>加载文件。。。</source>
        <translation>Loading file...</translation>
    </message>
    <message>
        <source>正在擦除。。。</source>
        <translation>Erasing...</translation>
    </message>
    <message>
        <source>开始写入。。。</source>
        <translation>Writing...</translation>
    </message>
    <message>
        <source>上载完成！</source>
        <translation>Download complete!</translation>
    </message>
    <message>
        <source>连机失败 ！</source>
        <translation>Connection failed!</translation>
    </message>
    <message>
        <source>读取完成: %1 Byte 自 0x%2</source>
        <translation>Read complete: %1 bytes from 0x%2</translation>
    </message>
    <message>
        <source>所选的不是文件</source>
        <translation>The selection is not a file</translation>
    </message>
    <message>
        <source>文件太大，不能超过%1 KB</source>
        <translation>File too large (limit %1 KB)</translation>
    </message>
    <message>
        <source>文件中没有可下载的数据</source>
        <translation>No data to download</translation>
    </message>
    <message>
        <source>HEX文件的地址超出Flash范围: %1</source>
        <translation>HEX file address outside the Flash: %1</translation>
    </message>
    <message>
        <source>Bootloader 版本 %1.%2</source>
        <translation>Bootloader version %1.%2</translation>
    </message>
    <message>
        <source>未知的设备</source>
        <translation>Unknown device</translation>
    </message>
    <message>
        <source>器件表中没有 Product ID 0x%1: 不知道它的 Flash 如何擦除和写入，未做任何改动</source>
        <translation>Product ID 0x%1 is not in the device table: how its flash is erased and written is unknown; nothing was changed</translation>
    </message>
    <message>
        <source>芯片拒绝读取 Flash 容量寄存器 %1，按器件表取 %2 KB</source>
        <translation>The chip declined to read the flash size register %1; taking %2 KB from the device table</translation>
    </message>
    <message>
        <source>数据 EEPROM: %1 Byte 自 %2</source>
        <translation>Data EEPROM: %1 bytes from %2</translation>
    </message>
    <message>
        <source>文件在 %1 有数据: 芯片 Flash 到 %2 为止</source>
        <translation>The file has data at %1: the chip's flash ends at %2</translation>
    </message>
    <message>
        <source>存储容量 Flash:%1 KB</source>
        <translation>Flash size: %1 KB</translation>
    </message>
    <message>
        <source>文件尺寸: %1 Byte / %2 KB</source>
        <translation>File size: %1 bytes / %2 KB</translation>
    </message>
    <message>
        <source>写地址: %1</source>
        <translation>Writing at %1</translation>
    </message>
    <message>
        <source>校验完成: 全部 %1 个数据块已读回，与文件一致</source>
        <translation>Verified: all %1 blocks were read back and match the file</translation>
    </message>
    <message>
        <source>校验完成: 全部 %1 段数据的 CRC (Get Checksum) 与文件一致</source>
        <translation>Verified: the CRC (Get Checksum) of all %1 written ranges matches the file</translation>
    </message>
    <message>
        <source>校验失败: 地址 %1 起 %2 字节的 CRC 为 %3，文件的为 %4</source>
        <translation>Verify failed: the CRC of %2 bytes from address %1 is %3, the file's is %4</translation>
    </message>
    <message>
        <source>地址 %1 的数据与文件不符: %2，重写其中的数据</source>
        <translation>The data at %1 differ from the file: %2, writing its data again</translation>
    </message>
    <message>
        <source>第 %1 页只能随整片 Flash 一起擦除，这会擦除文件之前的内容 (如 Bootloader)</source>
        <translation>Page %1 can only be erased with the whole flash, which would erase what comes before the file (a boot loader, say)</translation>
    </message>
    <message>
        <source>擦除页 %1</source>
        <translation>Erasing pages %1</translation>
    </message>
    <message>
        <source>擦除扇区 %1</source>
        <translation>Erasing sectors %1</translation>
    </message>
    <message>
        <source>%1 (整片擦除)</source>
        <translation>%1 (mass erase)</translation>
    </message>
    <message>
        <source>%1 (存储区 %2 整体擦除)</source>
        <translation>%1 (bank %2 erased whole)</translation>
    </message>
    <message>
        <source>校验地址: %1</source>
        <translation>Verifying at %1</translation>
    </message>
    <message>
        <source>文件太大: 映像 %1 Byte，芯片 Flash 只有 %2 KB (%3 Byte)</source>
        <translation>File too large: image %1 bytes, chip Flash only %2 KB (%3 bytes)</translation>
    </message>
    <message>
        <source>设备拒绝擦除: 芯片可能处于读保护或写保护状态</source>
        <translation>The device refused the erase: the chip may be read- or write-protected</translation>
    </message>
    <message>
        <source>正在解除写保护，芯片随后复位。。。</source>
        <translation>Removing the write protection; the chip restarts...</translation>
    </message>
    <message>
        <source>已开启读保护: Flash 不能再被读出 (解除读保护时芯片擦除整片 Flash)</source>
        <translation>Read-out protection is on: the flash can no longer be read (removing it erases the whole flash)</translation>
    </message>
    <message>
        <source>若 Flash 处于写保护状态: tramelo download --write-unprotect ...</source>
        <translation>If the flash is write-protected: tramelo download --write-unprotect ...</translation>
    </message>
    <message>
        <source>设备拒绝解除写保护</source>
        <translation>The device refused to remove the write protection</translation>
    </message>
    <message>
        <source>设备拒绝开启读保护 (文件已写入)</source>
        <translation>The device refused to turn read-out protection on (the file was written)</translation>
    </message>
    <message>
        <source>设备拒绝写入地址 %1: Flash 可能处于保护状态或未被擦除</source>
        <translation>The device refused the write at %1: the Flash may be protected or not erased</translation>
    </message>
    <message>
        <source>芯片的 Flash 处于读保护状态: 不能读取、擦除或写入</source>
        <translation>The chip's Flash is read-protected: it cannot be read, erased or written</translation>
    </message>
    <message>
        <source>解除读保护: tramelo download --unprotect ... (芯片将擦除整片 Flash)</source>
        <translation>To remove the read protection: tramelo download --unprotect ... (the chip erases its whole Flash)</translation>
    </message>
    <message>
        <source>校验失败: 地址 %1 的数据与文件不符 (已重写 %2 次)</source>
        <translation>Verify failed: the data at %1 differs from the file (rewritten %2 times)</translation>
    </message>
    <message>
        <source>设备拒绝读取地址 %1</source>
        <translation>The device refused the read at %1</translation>
    </message>
    <message>
        <source>设备的 Bootloader 不支持命令 0x%1</source>
        <translation>The device's bootloader does not support command 0x%1</translation>
    </message>
    <message>
        <source>设备拒绝擦除: 芯片可能处于读保护 Level 1 或写保护状态</source>
        <translation>The device refused to erase: the chip may be at read protection Level 1 or write-protected</translation>
    </message>
    <message>
        <source>已开启读保护 Level 1 (不是 Level 2): Flash 不能再被读出 (回到 Level 0 时芯片擦除整片 Flash)</source>
        <translation>Read protection Level 1 is on (not Level 2): the Flash can no longer be read (going back to Level 0, the chip erases its whole Flash)</translation>
    </message>
    <message>
        <source>已开启读保护 Level 1 (不是 Level 2): Flash 不能再被读出 (回到 Level 0 时芯片擦除整片 Flash 和数据 EEPROM)</source>
        <translation>Read protection Level 1 is on (not Level 2): the Flash can no longer be read (going back to Level 0, the chip erases its whole Flash and the data EEPROM)</translation>
    </message>
    <message>
        <source>设备拒绝写入地址 %1: Flash 可能处于读保护 Level 1、写保护状态或未被擦除</source>
        <translation>The device refused to write address %1: the Flash may be at read protection Level 1, write-protected or not erased</translation>
    </message>
    <message>
        <source>芯片的 Flash 处于读保护 Level 1: 不能读取、擦除或写入</source>
        <translation>The chip's Flash is at read protection Level 1: it cannot be read, erased or written</translation>
    </message>
    <message>
        <source>回到 Level 0: tramelo download --unprotect ... (芯片将擦除整片 Flash)</source>
        <translation>Back to Level 0: tramelo download --unprotect ... (the chip will erase its whole Flash)</translation>
    </message>
    <message>
        <source>回到 Level 0: tramelo download --unprotect ... (芯片将擦除整片 Flash 和数据 EEPROM)</source>
        <translation>Back to Level 0: tramelo download --unprotect ... (the chip will erase its whole Flash and the data EEPROM)</translation>
    </message>
    <message>
        <source>正在解除读保护 (Level 1 → Level 0)，芯片擦除整片 Flash。。。</source>
        <translation>Removing the read protection (Level 1 → Level 0); the chip erases its whole Flash...</translation>
    </message>
    <message>
        <source>正在解除读保护 (Level 1 → Level 0)，芯片擦除整片 Flash 和数据 EEPROM。。。</source>
        <translation>Removing the read protection (Level 1 → Level 0); the chip erases its whole Flash and the data EEPROM...</translation>
    </message>
    <message>
        <source>芯片唯一 ID: %1</source>
        <translation>Chip unique ID: %1</translation>
    </message>
    <message>
        <source>正在解除读保护，芯片擦除整片 Flash。。。</source>
        <translation>Removing the read protection; the chip erases its whole Flash...</translation>
    </message>
    <message>
        <source>文件不存在</source>
        <translation>File not found</translation>
    </message>
    <message>
        <source>下载目标代码</source>
        <translation>Target code loaded</translation>
    </message>
    <message>
        <source>下载目标代码。。。</source>
        <translation>Target code loaded...</translation>
    </message>
    <message>
        <source>文件太大，不能用于%1K Flash</source>
        <translation>File too large for %1K Flash</translation>
    </message>
    <message>
        <source>校验失败 ！</source>
        <translation>Verification failed!</translation>
    </message>
    <message>
        <source>读取失败 ！</source>
        <translation>Reading failed!</translation>
    </message>
</context>
<context>
    <name>terminal</name>
    <message>
        <source>文件不存在 ！ %1</source>
        <translation>File not found! %1</translation>
    </message>
    <message>
        <source>不是普通文件，不能读入发送区 ！ %1</source>
        <translation>Not a regular file, cannot load it into the send area! %1</translation>
    </message>
    <message>
        <source>文件太大，不能读入发送区（上限 %1 KB）！ %2</source>
        <translation>File too large for the send area (limit %1 KB)! %2</translation>
    </message>
    <message>
        <source>不能打开文件 ！ %1 (%2)</source>
        <translation>Cannot open the file! %1 (%2)</translation>
    </message>
    <message>
        <source>读文件错误 ！ %1 (%2)</source>
        <translation>Error reading the file! %1 (%2)</translation>
    </message>
    <message>
        <source>不是普通文件</source>
        <translation>not a regular file</translation>
    </message>
    <message>
        <source>记录文件或其文件夹已被删除</source>
        <translation>the log file or its folder was removed</translation>
    </message>
    <message>
        <source>磁盘写入跟不上接收</source>
        <translation>the disk cannot keep up with the data</translation>
    </message>
</context>
<context>
    <name>texts</name>
    <message>
        <source>提示：先按下载，再给芯片断电后重新上电 (冷启动)。</source>
        <translation>Hint: press Download first, then switch the chip&apos;s power off and on again (cold start).</translation>
    </message>
    <message>
        <source>提示：ISP 引脚 (P0.14) 接低电平后复位芯片，再按下载。</source>
        <translation>Hint: pull the ISP pin (P0.14) low, reset the chip, then press Download.</translation>
    </message>
    <message>
        <source>提示：BOOT0 接高电平 (BOOT1 接低) 后复位芯片，再按下载。</source>
        <translation>Hint: tie BOOT0 high (BOOT1 low), reset the chip, then press Download.</translation>
    </message>
    <message>
        <source>串口已消失（适配器被拔出？），下载中止；芯片可能只写入了一部分 ！</source>
        <translation>The serial port vanished (adapter unplugged?); the download stopped, the chip may be partly written!</translation>
    </message>
    <message>
        <source>当前串口号已经被占用，或其它错误 ！<byte value="xd"/>请选择其它串口，或检查串口设置是否正确。</source>
        <translation>The port is in use, or another error occurred!<byte value="xd"/>Choose another port, or check the port settings.</translation>
    </message>
    <message>
        <source>串口打开失败：%1</source>
        <translation>The port could not be opened: %1</translation>
    </message>
    <message>
        <source>串口不存在 ！<byte value="xd"/>请选择其它串口，或检查设备是否已连接。</source>
        <translation>The port does not exist!<byte value="xd"/>Choose another port, or check that the device is connected.</translation>
    </message>
</context>
</TS>
