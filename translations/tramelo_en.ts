<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>TMainForm</name>
    <message>
        <source>目前版本支持MCU设备:</source>
        <translation>Devices supported by this version:</translation>
    </message>
    <message>
        <source>■ARM7 32位处理器     【LPC2214、LPC2292、LPC2131、LPC2132、LPC2136、LPC2138】</source>
        <translation>■ARM7 32-bit processors      [LPC2214, LPC2292, LPC2131, LPC2132, LPC2136, LPC2138]</translation>
    </message>
    <message>
        <source>■ARM Cortex-M3 处理器【STM32F10xxExx 家族】</source>
        <translation>■ARM Cortex-M3 processors    [STM32F10xxExx family]</translation>
    </message>
    <message>
        <source>■STC 8051 微处理器   【STC89C51RC、STC89C52RC、STC89C55RD+、STC89C516RD+】</source>
        <translation>■STC 8051 microcontrollers   [STC89C51RC, STC89C52RC, STC89C55RD+, STC89C516RD+]</translation>
    </message>
    <message>
        <source>对于&quot;ARM7 32位处理器&quot;、&quot;ARM Cortex-M3 处理器&quot;、&quot;STC 8051 微处理器&quot; 三类中的</source>
        <translation>Within each of the three kinds &quot;ARM7 32-bit processors&quot;, &quot;ARM Cortex-M3 processors&quot; and &quot;STC 8051 microcontrollers&quot;</translation>
    </message>
    <message>
        <source>各个型号选择，在ISP下载时可以忽略型号，软件自动识别并控制相应的下载命令。</source>
        <translation>the model may be left unselected: the ISP download identifies the part and chooses its commands.</translation>
    </message>
    <message>
        <source>当前版本支持 Oscillator:</source>
        <translation>Oscillators supported by this version:</translation>
    </message>
    <message>
        <source>8.000M、11.0592M、12.00M、18.432M、22.1184M、24.00M、36.864M ！</source>
        <translation>8.000M, 11.0592M, 12.00M, 18.432M, 22.1184M, 24.00M, 36.864M!</translation>
    </message>
    <message>
        <source>您好！欢迎使用 Tramelo —— 单片机串口下载与调试工具。<byte value="xd"/>
<byte value="xd"/>
主要功能：<byte value="xd"/>
 1. 串口ISP下载 STC 8051 单片机 (STC89C51RC/52RC/55RD+/516RD+)；<byte value="xd"/>
 2. 串口ISP下载 NXP LPC2000 ARM7 (LPC2214/2292/2131/2132/2136/2138)；<byte value="xd"/>
 3. 串口ISP下载 STM32F10x Cortex-M3 系列；<byte value="xd"/>
 4. 自动识别芯片型号与晶振频率，型号可不选；<byte value="xd"/>
 5. 支持 BIN 与 Intel HEX 目标文件；<byte value="xd"/>
 6. 下载前可用 RTS/DTR 自动复位目标板；<byte value="xd"/>
 7. 目标文件更新时自动重新下载；<byte value="xd"/>
 8. 下载过程在状态栏、信息区与进度条上实时显示；<byte value="xd"/>
 9. 串口调试：COM1 ~ COM8，110 ~ 115200 波特；<byte value="xd"/>
10. 数据位 5~8、停止位 1/1.5/2、校验 None/Odd/Even/Mark/Space；<byte value="xd"/>
11. 接收数据以文本或十六进制(HEX)显示；<byte value="xd"/>
12. 以文本或十六进制(HEX)发送；<byte value="xd"/>
13. 可选发送新行(回车换行)；<byte value="xd"/>
14. 按键即发：于发送区按键即发送该键值；<byte value="xd"/>
15. 定时发送，间隔 1 ~ 9999 ms；<byte value="xd"/>
16. 读入文件到发送区，保存接收区到文件；<byte value="xd"/>
17. 手动控制 DTR、RTS 信号线；<byte value="xd"/>
18. 发送(S:)与接收(R:)字节计数；<byte value="xd"/>
19. 关闭时保存设置，启动时自动载入；<byte value="xd"/>
20. 中文显示不乱码。<byte value="xd"/>
<byte value="xd"/>
声明：本软件按“现状”提供，作者不对使用本软件造成的任何损失负责。<byte value="xd"/>
欢迎提出意见和建议：author@orvel.example</source>
        <translation>Hello, and welcome to Tramelo, the serial download and debugging tool for microcontrollers.<byte value="xd"/>
<byte value="xd"/>
Main features:<byte value="xd"/>
 1. Serial ISP download to STC 8051 microcontrollers (STC89C51RC/52RC/55RD+/516RD+);<byte value="xd"/>
 2. Serial ISP download to NXP LPC2000 ARM7 (LPC2214/2292/2131/2132/2136/2138);<byte value="xd"/>
 3. Serial ISP download to the STM32F10x Cortex-M3 family;<byte value="xd"/>
 4. The chip model and crystal frequency are recognised; the model may be left unselected;<byte value="xd"/>
 5. BIN and Intel HEX target files;<byte value="xd"/>
 6. Optional reset of the target board through RTS/DTR before the download;<byte value="xd"/>
 7. Automatic download again whenever the target file changes;<byte value="xd"/>
 8. Progress shown live in the status bar, the message area and the progress bar;<byte value="xd"/>
 9. Serial terminal: COM1 ~ COM8, 110 ~ 115200 baud;<byte value="xd"/>
10. Data bits 5~8, stop bits 1/1.5/2, parity None/Odd/Even/Mark/Space;<byte value="xd"/>
11. Received data shown as text or hexadecimal (HEX);<byte value="xd"/>
12. Sending as text or hexadecimal (HEX);<byte value="xd"/>
13. Optional new line (CR LF) after each send;<byte value="xd"/>
14. Send on key: a key pressed in the send area is sent at once;<byte value="xd"/>
15. Timed sending every 1 ~ 9999 ms;<byte value="xd"/>
16. Loading a file into the send area, saving the receive area to a file;<byte value="xd"/>
17. Manual control of the DTR and RTS lines;<byte value="xd"/>
18. Counters of bytes sent (S:) and received (R:);<byte value="xd"/>
19. Settings saved on close and loaded on start;<byte value="xd"/>
20. Chinese text shown without garbling.<byte value="xd"/>
<byte value="xd"/>
Disclaimer: this software is provided &quot;as is&quot;; the author is not liable for any loss caused by its use.<byte value="xd"/>
Opinions and suggestions are welcome: author@orvel.example</translation>
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
        <source>(无设备 / no device)</source>
        <translation>(no device)</translation>
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
        <source>%1 家族</source>
        <translation>%1 family</translation>
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
        <translation>Timeout   sec</translation>
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
        <translation>Send new line</translation>
    </message>
    <message>
        <source>按键即发</source>
        <translation>Send on key</translation>
    </message>
    <message>
        <source>选用后：<byte value="xd"/>于发送区窗口按键即发送该键值</source>
        <translation>When checked:<byte value="xd"/>a key pressed in the send area is sent at once</translation>
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
</context>
<context>
    <name>hexlib</name>
    <message>
        <source>使用程序内置的HEX解码库</source>
        <translation>Using the program&apos;s built-in HEX decoding library</translation>
    </message>
    <message>
        <source>使用程序内置的HEX解码库（已跳过 %1）</source>
        <translation>Using the program&apos;s built-in HEX decoding library (passed over %1)</translation>
    </message>
    <message>
        <source>已跳过HEX解码库 %1</source>
        <translation>Passed over HEX decoding library %1</translation>
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
    <name>texts</name>
    <message>
        <source>当前串口号已经被占用，或其它错误 ！<byte value="xd"/>请选择其它串口，或检查串口设置是否正确。</source>
        <translation>The port is in use, or another error occurred!<byte value="xd"/>Choose another port, or check the port settings.</translation>
    </message>
    <message>
        <source>串口打开失败：%1</source>
        <translation>The port could not be opened: %1</translation>
    </message>
</context>
</TS>
